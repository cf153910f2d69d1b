// The USB devices of a unit, and the hub and mouse that stand around units,
// as a machine shows them: for what builds device trees (the simulation's
// generated trees, and the fuzzers' Windows trees and udev devices). The
// numbers come from unit_ids.h and which interface carries which role from
// the roles' table; the names are those the devices and their drivers give.
// What tells one tree's devices from another's (serials, instance parts, COM
// numbers, endpoint GUIDs) the caller chooses.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "units/roles.h"
#include "units/unit_ids.h"

namespace kq {

// One USB interface as the device describes it.
struct UsbInterfaceShape {
  int number;
  const char* usbClass;     // bInterfaceClass as sysfs writes it
  const char* linuxDriver;  // the driver Linux binds to it; empty for none
  // Its node on Windows; no description where Windows shows no node of its
  // own (a CDC data interface belongs to the communication interface).
  const char* windowsDesc;
  const char* windowsFriendly;
};

// One USB device with its interfaces.
struct UsbDeviceShape {
  UsbFunctionId id;
  const char* product;      // the device's product string
  const char* windowsDesc;  // its function node's description on Windows
  // The description of the port a bus driver makes below each port
  // interface (the FTDI's); none where the interface itself is the port.
  const char* busPortDesc;
  const UsbInterfaceShape* interfaces;
  size_t interfaceCount;
};

extern const UsbDeviceShape kMcuShape;
extern const UsbDeviceShape kFtdiShape;
extern const UsbDeviceShape kCodecShape;
extern const UsbDeviceShape kHubShape;    // a 4-port hub, as a unit or a desk has
extern const UsbDeviceShape kMouseShape;  // an ordinary device beside the units

// The port role the interface carries, by the roles' table; none for another.
std::optional<Role> portRoleOn(const UsbDeviceShape& device, int interfaceNumber);
// Whether the sound card hangs below the interface (the codec's audio control).
bool carriesSoundCard(const UsbDeviceShape& device, int interfaceNumber);

// A vendor or product ID as sysfs and udev write it: in lower case.
std::string linuxUsbId(std::string_view windowsId);

// A device node of a Windows tree, as one line of a .devtree text holds it.
struct WindowsNode {
  std::string id;
  std::optional<std::string> desc;
  std::optional<std::string> friendly;
  const char* setupClass = nullptr;  // only where the ID alone would give another class
  bool remembered = false;           // unplugged long ago: listed, not present
  std::vector<WindowsNode> children;
};

// What tells one unit's Windows nodes from another's.
struct WindowsUnitChoice {
  std::string mcuSerial;  // all of it: kMcuSerialPrefix and the unit's serial
  bool mcuLowerCase = false;  // the MCU function's ID in lower case, as Windows 7 lists it
  // Each function's instance part of its interfaces, up to the four digits
  // of the interface number.
  std::string mcuInterfaces;
  std::string ftdiSerial;
  std::string ftdiInterfaces;
  std::string codecInstance;  // the codec has no serial: its function's instance part
  std::string codecInterfaces;
  const char* codecInterfaceClass = nullptr;  // a setup class for the codec's interfaces
  std::array<int, std::size(kRoles)> comPorts{};  // by role; a port role's COM number
  struct Endpoint {
    bool capture;
    std::string guid;  // the endpoint's GUID without its braces
  };
  std::vector<Endpoint> endpoints;  // below the streaming interface, in the order listed
};

// The unit's three functions with everything below them: MCU, FTDI, codec.
std::vector<WindowsNode> windowsUnitFunctions(const WindowsUnitChoice& unit);
// A USB function's node, without what lies below it.
WindowsNode windowsFunction(const UsbDeviceShape& device, std::string_view instance);
// An audio endpoint of a device Windows calls `deviceName`.
WindowsNode windowsEndpoint(bool capture, const std::string& guid, const std::string& deviceName);

}  // namespace kq
