// Wide text to UTF-8 and to JSON string literals, for the developer tools.
#pragma once

#include <string>
#include <string_view>

namespace kqtools {

// UTF-8 of a wide string, whether wchar_t holds UTF-16 or UTF-32. A lone
// surrogate becomes U+FFFD.
std::string utf8(std::wstring_view text);

// A JSON string literal with the standard escapes (a TAB is \t).
std::string jsonString(std::wstring_view text);

}  // namespace kqtools
