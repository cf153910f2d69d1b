// One enumeration of all attached units, and its full report.
#pragma once

#include <vector>

#include "units/device_unit.h"
#include "units/report.h"

namespace kq {

struct UnitList {
  // Runs the whole enumeration. `mcuDriversPresent` is false only when the
  // user declined the maker's WinKey/FSK drivers at start-up.
  UnitList(bool splitAudio, bool mcuDriversPresent);

  ReportList fullReport() const;

  std::vector<DeviceUnit> units;
  IdList claimedIds;   // mcuInstanceId of each unit, same order as units
  int attempts = 0;    // resolveUnit calls made by the enumeration
};

}  // namespace kq
