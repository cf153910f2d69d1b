// Snapshot of one device node as the unit walk needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kq {

// Ordered list of device instance IDs, compared as whole case-sensitive
// strings. Used as the exclusion list of the prefix search.
using IdList = std::vector<std::wstring>;

// A string list property split into its entries. The list ends at its first
// empty entry (or at the end of the bytes the configuration manager returned).
using StringList = std::vector<std::wstring>;

inline constexpr uint32_t kProblemNotRead = 255;

struct DeviceNode {
  std::optional<std::wstring> parentId;
  std::optional<StringList> childrenIds;
  std::optional<StringList> siblingIds;
  std::optional<std::wstring> friendlyName;
  std::optional<std::wstring> description;
  std::optional<std::wstring> instanceId;  // present exactly when the node was found
  uint32_t problemCode = kProblemNotRead;
  std::optional<std::wstring> portName;    // only ever set by openPortNode

  bool found() const { return instanceId.has_value(); }
  bool healthy() const { return problemCode == 0; }
};

// The two entries the unit walk reads: the list's first entry and the text
// after the first entry's terminator. Missing entries read as empty text.
std::wstring_view firstEntry(const StringList& list);
std::wstring_view secondEntry(const StringList& list);

// Opens the node whose instance ID is `text`, or else the first present device
// of the USB (usbClass) or Ports setup class whose ID starts with `text` and is
// not in `exclusions`. Always yields a node; test found().
DeviceNode openDeviceNode(std::wstring_view text, const IdList& exclusions, bool usbClass);

// The prefix search of openDeviceNode alone, without first locating `text`
// as an exact instance ID.
DeviceNode findDeviceNode(std::wstring_view text, const IdList& exclusions, bool usbClass);

// Opens a serial-port node by its instance ID and derives its COM port name.
DeviceNode openPortNode(std::wstring_view instanceId);

// Sets portName from the friendly name and the description (pure; exposed for
// tests). See the rule in device_node.cpp.
void derivePortName(DeviceNode& node);

// Whether `text` begins with `prefix`, character for character.
inline bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace kq
