// The units on Linux: udev's device database shown to the device walk as the
// Windows device tree it knows. The walk and its rules stay in units/; here
// is only the translation, so that a unit is made by the same rules on both
// systems.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "memcm/memcm.h"
#include "units/report.h"

namespace kq::udev {

// One device of udev's database, as read from it.
struct Device {
  std::string sysPath;             // "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2"
  std::string parentPath;          // the parent's sysPath, empty for none
  std::string subsystem;           // "usb", "tty", "sound", ...
  std::string devType;             // "usb_device", "usb_interface", or empty
  std::string sysName;             // "1-1.2", "1-1.2:1.0", "ttyUSB0", "card1", "pcmC1D0p"
  std::string driver;              // the bound driver, empty when none is
  std::string devNode;             // "/dev/ttyUSB0", empty when the device has none
  std::vector<std::string> links;  // DEVLINKS, in udev's order
  std::map<std::string, std::string> attrs;  // the sysfs attributes read (kAttributes)
  std::map<std::string, std::string> props;  // the udev properties read (kProperties)
};
using Devices = std::vector<Device>;

// The sysfs attributes the translation reads.
inline constexpr const char* kAttributes[] = {
    "idVendor",  "idProduct",        "serial",          "product",
    "interface", "bInterfaceNumber", "bInterfaceClass", "id",
};

// The udev properties read: whether ModemManager is to leave a port alone,
// and the tags ("uaccess") rules gave it.
inline constexpr const char* kProperties[] = {"ID_MM_DEVICE_IGNORE", "TAGS", "CURRENT_TAGS",
                                             "PULSE_NAME", "KQ6200_SERIAL", "KQ6200_LABEL"};

// The labels the labelling rules gave units (KQ6200_LABEL beside
// KQ6200_SERIAL on a unit's devices), by serial; only a serial and a label
// of the shapes a command line takes.
std::map<std::wstring, std::wstring> UnitLabelsOf(const Devices& devices);

struct WindowsShape {
  // The tree for the in-memory configuration manager, in the order its class
  // lists give the nodes (depth first, as Windows walks it).
  std::vector<memcm::Node> nodes;
  // What a Linux user types for each device, by the instance ID the
  // translation gave it: `id` its sysfs path (the tty, the sound card, the
  // USB device), `link` a port's stable link under /dev/serial/by-id/,
  // `alsa` an endpoint's "hw:CARD=<id>,DEV=<n>", `description` its card as
  // the USB device names itself, `allLinks` every link of a port's node.
  ReportNames names;
};

// Translates udev's devices into the Windows device tree of the same USB
// devices (pure; see udev_tree.cpp for the rules).
WindowsShape ShapeAsWindows(const Devices& devices);

// Reads the USB, tty and sound devices of the live udev database (libudev;
// a umockdev test bed when run under it). None when udev cannot be read (no
// context, no scan); an empty list when it holds none of them.
std::optional<Devices> ReadUdevDevices();

// Reads udev, translates, and puts the tree in force for the configuration
// manager calls of the next enumeration; keeps the devices read in
// `devices`. False when udev cannot be read.
bool LoadUdevTree(ReportNames* names, Devices* devices);

}  // namespace kq::udev
