// Wide text as a JSON string literal, for every program that prints JSON: the
// console report, the report tool and the end-to-end spy. Header-only, like
// the rest of base/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/one_line.h"

namespace kq {

// The literal with its quotes, as wide text: '"', '\\' and the control
// characters below U+0020 escaped (\b \f \n \r \t by name, the others as
// \u00XX), and DEL, the C1 controls and the format characters (one_line.h)
// as \uXXXX too (a pair of them beyond U+FFFF), which JSON allows and a
// terminal showing the output raw then can take neither for an escape
// sequence nor for a change of the text's direction; everything else stays
// as it is, lone surrogates included, so that the caller's UTF-8 or UTF-16
// output carries it unchanged.
inline std::wstring jsonString(std::wstring_view text) {
  std::wstring out = L"\"";
  const auto escape = [&out](std::uint32_t unit) {
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(unit));
    out.append(code, code + 6);
  };
  for (size_t at = 0; at < text.size();) {
    const CodePoint point = CodePointAt(text, at);
    at += point.units;
    switch (point.value) {
      case L'"': out += L"\\\""; break;
      case L'\\': out += L"\\\\"; break;
      case L'\b': out += L"\\b"; break;
      case L'\f': out += L"\\f"; break;
      case L'\n': out += L"\\n"; break;
      case L'\r': out += L"\\r"; break;
      case L'\t': out += L"\\t"; break;
      default:
        if (!IsHiddenCharacter(point.value)) {
          out.append(text.substr(at - point.units, point.units));
        } else if (point.value > 0xFFFF) {
          escape(0xD800 + ((point.value - 0x10000) >> 10));
          escape(0xDC00 + ((point.value - 0x10000) & 0x3FF));
        } else {
          escape(point.value);
        }
    }
  }
  return out + L"\"";
}

}  // namespace kq
