// One enumeration of all attached units, and its full report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "units/device_unit.h"
#include "units/report.h"

namespace kq {

struct UnitList {
  // Runs the whole enumeration. `mcuDriversPresent` is false only when the
  // user declined the maker's WinKey/FSK drivers at start-up.
  UnitList(bool splitAudio, bool mcuDriversPresent);

  // The report of every unit in turn, or the not-found line.
  Report report() const;
  // Its display lines: what the window shows and copies.
  ReportList fullReport() const;

  std::vector<DeviceUnit> units;
  IdList claimedIds;   // mcuInstanceId of each unit, same order as units
  int attempts = 0;    // resolveUnit calls made by the enumeration
};

// A present USB device of one of the unit's three functions (the MCU, the
// FTDI bridge, the codec), found by its VID and PID alone: what shows a
// half-connected unit or a function without its driver when no unit is.
struct SeenFunction {
  Walk walk;  // kMcu, kFtdi or kAudio: which function
  std::wstring instanceId;
  uint32_t problem = 0;
};

// Every present device of the three functions, MCU, FTDI and codec in turn,
// each in the order of the USB class list; at most kMostSeen of each.
inline constexpr size_t kMostSeen = 8;
std::vector<SeenFunction> SeenFunctions();

// "vvvv:pppp": a function's VID and PID as a person reads them (unit_ids.h).
std::wstring FunctionVidPid(Walk walk);

}  // namespace kq
