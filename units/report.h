// Rendering of units into display lines paired with instance IDs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "units/device_unit.h"
#include "units/status_help.h"

namespace kq {

// One display line and the instance ID of the device it names (empty when it
// names none: headers, error lines, the not-found line).
struct ReportLine {
  std::wstring text;
  std::wstring id;
};

using ReportList = std::vector<ReportLine>;

ReportList reportLines(const DeviceUnit& unit);

// The line a walk that stopped short shows: "    FTDI ErrorCode: 7".
std::wstring ErrorLine(Walk walk, int status);

// What a system names a device beyond its port or endpoint name, by the
// instance ID the walk knows it by. Linux has these; Windows needs none.
struct DeviceNames {
  std::wstring id;           // the device's own ID there (its sysfs path)
  std::wstring link;         // a port's stable link, empty for none
  std::wstring alsa;         // an audio endpoint's ALSA name, empty for none
  std::wstring description;  // an audio endpoint's card description
};
using ReportNames = std::map<std::wstring, DeviceNames>;

inline constexpr wchar_t kNotFoundLine[] = L"Quorvanta KQ-6200 not found";

}  // namespace kq
