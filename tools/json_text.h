// Wide text as JSON string literals, for the developer tools.
#pragma once

#include <string>
#include <string_view>

namespace kq::tools {

// A JSON string literal with the standard escapes (a TAB is \t).
std::string jsonString(std::wstring_view text);

}  // namespace kq::tools
