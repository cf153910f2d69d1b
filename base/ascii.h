// ASCII letter case, for the names Windows compares without regard to case
// (instance IDs, file names) and the hexadecimal digits it writes in capitals.
// Letters beyond ASCII are left as they are, as Windows leaves them in IDs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq {

template <typename Char>
constexpr Char asciiUpper(Char c) {
  return (c >= Char('a') && c <= Char('z')) ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

template <typename Char>
constexpr Char asciiLower(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

namespace ascii_detail {
template <typename Char, typename Map>
std::basic_string<Char> mapped(std::basic_string_view<Char> text, Map map) {
  std::basic_string<Char> out(text);
  for (Char& c : out) c = map(c);
  return out;
}

template <typename Char>
bool equalsIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
  return true;
}
}  // namespace ascii_detail

inline std::string toAsciiUpper(std::string_view text) { return ascii_detail::mapped(text, asciiUpper<char>); }
inline std::wstring toAsciiUpper(std::wstring_view text) { return ascii_detail::mapped(text, asciiUpper<wchar_t>); }
inline std::string toAsciiLower(std::string_view text) { return ascii_detail::mapped(text, asciiLower<char>); }
inline std::wstring toAsciiLower(std::wstring_view text) { return ascii_detail::mapped(text, asciiLower<wchar_t>); }

inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return ascii_detail::equalsIgnoringCase(a, b);
}
inline bool equalsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return ascii_detail::equalsIgnoringCase(a, b);
}

}  // namespace kq
