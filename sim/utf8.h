// UTF-8 to wchar_t, for either width of wchar_t: UTF-32 where it is 32 bits
// (Linux), UTF-16 with surrogate pairs where it is 16 bits (Windows).
#pragma once

#include <string>
#include <string_view>

namespace kqsim {

// Appends the decoded text to `out`. Rejects what is not well-formed UTF-8:
// stray or missing continuation bytes, overlong forms, surrogate code points
// and code points beyond U+10FFFF. On failure `out` is left as it was.
bool decodeUtf8(std::string_view in, std::wstring* out);

}  // namespace kqsim
