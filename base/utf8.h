// UTF-8 to and from wchar_t, for either width of wchar_t: UTF-32 where it is
// 32 bits (Linux), UTF-16 with surrogate pairs where it is 16 bits (Windows).
// Header-only, so that the small programs (the self-extractor, the spy) take
// it without a library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kq {

namespace utf8_detail {

// Decodes one code point starting at `in[i]`; 0 when the bytes there are not
// well-formed UTF-8 (stray or missing continuation bytes, overlong forms,
// surrogate code points, code points beyond U+10FFFF), else its length.
inline std::size_t decodeOne(std::string_view in, std::size_t i, char32_t* cp) {
  const auto lead = static_cast<std::uint8_t>(in[i]);
  std::size_t extra;
  char32_t value;
  char32_t smallest;
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;  // a continuation byte without a lead, or 0xF8..0xFF
  }
  if (in.size() - i <= extra) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<std::uint8_t>(in[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return extra + 1;
}

inline void appendWide(char32_t cp, std::wstring& out) {
  if (sizeof(wchar_t) >= 4 || cp < 0x10000) {
    out.push_back(static_cast<wchar_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
}

inline void appendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

inline bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace utf8_detail

// Whether `in` is well-formed UTF-8 throughout.
inline bool isValidUtf8(std::string_view in) {
  char32_t cp;
  for (std::size_t i = 0, n; i < in.size(); i += n)
    if ((n = utf8_detail::decodeOne(in, i, &cp)) == 0) return false;
  return true;
}

// Appends the decoded text to `out`. Rejects what is not well-formed UTF-8;
// on failure `out` is left as it was.
inline bool decodeUtf8(std::string_view in, std::wstring* out) {
  std::wstring text;
  text.reserve(in.size());
  char32_t cp;
  for (std::size_t i = 0, n; i < in.size(); i += n) {
    if ((n = utf8_detail::decodeOne(in, i, &cp)) == 0) return false;
    utf8_detail::appendWide(cp, text);
  }
  out->append(text);
  return true;
}

// The decoded text of bytes that should be UTF-8 but come from outside (a
// command line, a device's name): where they are not, each byte stands for
// the code point of its value, so that nothing is lost and the text can
// still be shown and named.
inline std::wstring wideFromUtf8(std::string_view in) {
  std::wstring out;
  if (!decodeUtf8(in, &out))
    for (const char c : in) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

// UTF-8 of a wide string. A lone surrogate (or, with 32-bit wchar_t, a value
// beyond U+10FFFF) becomes U+FFFD: device names are shown, never rejected.
inline std::string encodeUtf8(std::wstring_view text) {
  using namespace utf8_detail;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (isHighSurrogate(c) || isLowSurrogate(c) || c > 0x10FFFF) {
      c = 0xFFFD;
    }
    appendUtf8(c, out);
  }
  return out;
}

}  // namespace kq
