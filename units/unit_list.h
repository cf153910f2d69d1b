// One enumeration of all attached units, and its full report.
#pragma once

#include <vector>

#include "units/device_unit.h"
#include "units/report.h"

namespace kq {

// True at start-up; cleared only when the user declines to install the
// maker's WinKey/FSK drivers.
extern bool mcuDriversPresent;

struct UnitList {
  // Runs the whole enumeration. `driversPresent` is read once, at the start.
  explicit UnitList(bool splitAudio, bool driversPresent = mcuDriversPresent);

  ReportList fullReport() const;

  std::vector<DeviceUnit> units;
  IdList claimedIds;   // mcuInstanceId of each unit, same order as units
  int attempts = 0;    // resolveUnit calls made by the enumeration
};

}  // namespace kq
