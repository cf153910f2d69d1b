// Wide text as a JSON string literal, for every program that prints JSON: the
// console report, the report tool and the end-to-end spy. Header-only, like
// the rest of base/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kq {

// The literal with its quotes, as wide text: '"', '\\' and the control
// characters below U+0020 escaped (\b \f \n \r \t by name, the others as
// \u00XX), and DEL and the C1 controls U+007F-U+009F as \u00XX too, which
// JSON allows and a terminal showing the output raw then cannot take for an
// escape sequence; everything else, surrogates included, stays as it is, so
// that the caller's UTF-8 or UTF-16 output carries it unchanged.
inline std::wstring jsonString(std::wstring_view text) {
  std::wstring out = L"\"";
  for (const wchar_t c : text) {
    switch (c) {
      case L'"': out += L"\\\""; break;
      case L'\\': out += L"\\\\"; break;
      case L'\b': out += L"\\b"; break;
      case L'\f': out += L"\\f"; break;
      case L'\n': out += L"\\n"; break;
      case L'\r': out += L"\\r"; break;
      case L'\t': out += L"\\t"; break;
      default:
        if (const auto value = static_cast<std::uint32_t>(c);
            value < 0x20 || (value >= 0x7F && value <= 0x9F)) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
          out.append(code, code + 6);
        } else {
          out += c;
        }
    }
  }
  return out + L"\"";
}

}  // namespace kq
