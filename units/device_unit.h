// One KQ-6200 unit: its serial number, component nodes and walk status codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devtree/device_node.h"
#include "units/unit_ids.h"
#include "units/walks.h"

namespace kq {

// Walk status codes of the three components. 0 means complete; 1 up to
// kLastStepStatus name the step at which the walk stopped (walks.h). The two values
// above are not steps: kNoUnit (no MCU function taken) and kNotResolved (no
// walk has set the field), so a record nobody resolved never reads as complete.
inline constexpr int8_t kStatusComplete = 0;
inline constexpr int8_t kLastStepStatus = 125;
inline constexpr int8_t kNoUnit = 126;
inline constexpr int8_t kNotResolved = 127;

struct DeviceUnit {
  int8_t mcuStatus = kNotResolved;
  int8_t ftdiStatus = kNotResolved;
  int8_t audioStatus = kNotResolved;
  bool splitAudio = false;
  bool mcuDriversPresent = false;
  std::wstring serial;          // last five characters of mcuInstanceId
  std::wstring mcuInstanceId;   // the MCU function's full instance ID
  std::optional<DeviceNode> winkeyNode;
  std::optional<DeviceNode> fskNode;
  std::optional<DeviceNode> pttNode;
  std::optional<DeviceNode> catNode;
  std::optional<DeviceNode> audioInNode;
  std::optional<DeviceNode> audioOutNode;
  // Set when a present MCU function was found but rejected because its
  // instance ID is too short to carry a serial; the enumeration skips it.
  std::wstring rejectedMcuId;
};

// Whether the record describes a unit: its MCU function was found and taken.
inline bool isUnit(const DeviceUnit& unit) { return unit.mcuStatus <= kLastStepStatus; }

inline int8_t walkStatus(const DeviceUnit& unit, Walk walk) {
  return walk == Walk::kMcu ? unit.mcuStatus : walk == Walk::kFtdi ? unit.ftdiStatus : unit.audioStatus;
}

// A serial of kSerialLength (five) letters or digits: the only kind a command line takes
// and a udev rules file may hold, since it becomes part of rule matches and
// file names.
inline bool isPlainSerial(std::wstring_view serial) {
  if (serial.size() != kSerialLength) return false;
  for (const wchar_t c : serial)
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')))
      return false;
  return true;
}

// The longest name a user gives a unit (--label): what a radio's model or
// a station's "left" needs, short enough for a link name and a header.
inline constexpr size_t kMaxLabelLength = 15;

// A unit's label as a command line and a udev rules file take it: 1 to
// kMaxLabelLength letters, digits, '-' and '_', since it becomes part of
// rule matches, link names and program settings.
inline bool isPlainLabel(std::wstring_view label) {
  if (label.empty() || label.size() > kMaxLabelLength) return false;
  for (const wchar_t c : label)
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
          c == L'-' || c == L'_'))
      return false;
  return true;
}

// Finds the next unit whose MCU function is not in `claimed` and walks it.
DeviceUnit resolveUnit(const IdList& claimed, bool splitAudio, bool mcuDriversPresent);

}  // namespace kq
