// The characters a device or another process may put into a string that,
// shown as they are, would do something else than show: break the line,
// start a terminal's escape sequence, or reorder the text around them on a
// terminal or view that lays out right-to-left scripts. Header-only, like
// the rest of base/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq {

// C0 controls, DEL and the C1 controls U+0080-U+009F: U+009B is a
// terminal's CSI, U+0085 a line end to some.
constexpr bool IsControlCharacter(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Unicode's format characters (general category Cf, Unicode 15): the bidi
// embeddings, overrides and isolates U+202A-U+202E and U+2066-U+2069, the
// marks U+200E, U+200F and U+061C, zero-width characters, the soft hyphen,
// tags; and the line and paragraph separators U+2028 and U+2029.
constexpr bool IsFormatCharacter(char32_t c) {
  struct Range {
    char32_t first, last;
  };
  constexpr Range kRanges[] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
      {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
      {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
      {0xE0020, 0xE007F},
  };
  for (const Range& range : kRanges)
    if (c >= range.first && c <= range.last) return true;
  return false;
}

constexpr bool IsHiddenCharacter(char32_t c) { return IsControlCharacter(c) || IsFormatCharacter(c); }

// The code point that starts at text[at] and how many units it takes: a
// surrogate pair where wchar_t has 16 bits (Windows), one unit otherwise; a
// lone surrogate is a code point of its own.
struct CodePoint {
  char32_t value;
  size_t units;
};
inline CodePoint CodePointAt(std::wstring_view text, size_t at) {
  const auto unit = static_cast<char32_t>(text[at]);
  if constexpr (sizeof(wchar_t) == 2) {
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < text.size()) {
      const auto low = static_cast<char32_t>(text[at + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF)
        return {0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), 2};
    }
  }
  return {unit, 1};
}

// The text as one line that shows as it reads: each hidden character (one
// code point) becomes one space.
inline std::wstring OneLine(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const CodePoint point = CodePointAt(text, at);
    if (IsHiddenCharacter(point.value))
      out += L' ';
    else
      out.append(text.substr(at, point.units));
    at += point.units;
  }
  return out;
}

}  // namespace kq
