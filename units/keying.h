// Which control line of the unit's PTT/CW port keys what. The unit follows
// the common convention of combined PTT/CW ports: RTS keys the transmitter
// (PTT), DTR keys CW. A station wired otherwise swaps them.
#pragma once

#include <string_view>

namespace kq {

enum class ControlLine { kRts, kDtr };

struct KeyingLines {
  ControlLine ptt;
  ControlLine cw;
};

inline constexpr KeyingLines kUnitKeyingLines{ControlLine::kRts, ControlLine::kDtr};

// The lines with PTT on `ptt` and CW on the other one.
constexpr KeyingLines KeyingWithPttOn(ControlLine ptt) {
  return {ptt, ptt == ControlLine::kRts ? ControlLine::kDtr : ControlLine::kRts};
}

// "RTS" or "DTR", as the programs and the serial port's pins name them.
constexpr std::wstring_view LineName(ControlLine line) {
  return line == ControlLine::kRts ? L"RTS" : L"DTR";
}

}  // namespace kq
