// One KQ-6200 unit: its serial number, component nodes and walk status codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "devtree/device_node.h"

namespace kq {

struct DeviceUnit {
  // 0 = complete; a positive value names the step at which the walk stopped.
  // 126/127 in mcuStatus: no unit was found.
  int8_t mcuStatus = 0;
  int8_t ftdiStatus = 0;
  int8_t audioStatus = 0;
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

inline constexpr int8_t kNoUnit = 126;

// Finds the next unit whose MCU function is not in `claimed` and walks it.
DeviceUnit resolveUnit(const IdList& claimed, bool splitAudio, bool mcuDriversPresent);

}  // namespace kq
