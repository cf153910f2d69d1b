#include "sim/utf8.h"

#include <cstdint>

namespace kqsim {

namespace {

void appendCodePoint(char32_t cp, std::wstring& out) {
  if (sizeof(wchar_t) >= 4 || cp < 0x10000) {
    out.push_back(static_cast<wchar_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
}

}  // namespace

bool decodeUtf8(std::string_view in, std::wstring* out) {
  std::wstring text;
  text.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto lead = static_cast<uint8_t>(in[i]);
    size_t extra;
    char32_t cp;
    char32_t smallest;
    if (lead < 0x80) {
      text.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07, smallest = 0x10000;
    } else {
      return false;  // a continuation byte without a lead, or 0xF8..0xFF
    }
    if (in.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(in[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    appendCodePoint(cp, text);
    i += extra + 1;
  }
  out->append(text);
  return true;
}

}  // namespace kqsim
