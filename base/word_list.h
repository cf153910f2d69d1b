// Words as a sentence lists them: "a, b or c". Header-only, like the rest of
// base/.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kq {

// The words separated by ", ", the last two by `last` (" or ", " and ").
inline std::wstring WordList(const std::vector<std::wstring>& words,
                             std::wstring_view last = L" or ") {
  std::wstring out;
  for (size_t i = 0; i < words.size(); ++i)
    out += (i == 0 ? L"" : i + 1 == words.size() ? std::wstring(last) : L", ") + words[i];
  return out;
}

}  // namespace kq
