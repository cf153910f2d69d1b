// Text broken into lines for a terminal or a plain-text file. Header-only,
// like the rest of base/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq {

// `text` in lines of at most `width` characters, each after `indent`, broken
// at spaces; a word longer than a line stands on its own.
inline std::wstring Wrapped(std::wstring_view text, std::wstring_view indent, size_t width) {
  std::wstring out, line;
  size_t at = 0;
  while (at < text.size()) {
    const size_t space = text.find(L' ', at);
    const size_t end = space == std::wstring_view::npos ? text.size() : space;
    const std::wstring_view word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
      out += std::wstring(indent) + line + L'\n';
      line.clear();
    }
    if (!line.empty()) line += L' ';
    line += word;
  }
  if (!line.empty()) out += std::wstring(indent) + line + L'\n';
  return out;
}

}  // namespace kq
