// Rendering of units into display lines paired with instance IDs.
#pragma once

#include <string>
#include <vector>

#include "units/device_unit.h"

namespace kq {

// One display line and the instance ID of the device it names (empty when it
// names none: headers, error lines, the not-found line).
struct ReportLine {
  std::wstring text;
  std::wstring id;
};

using ReportList = std::vector<ReportLine>;

ReportList reportLines(const DeviceUnit& unit);

inline constexpr wchar_t kNotFoundLine[] = L"Quorvanta KQ-6200 not found";

}  // namespace kq
