// The libudev edge: reads the devices the translation needs from udev's
// database (or from a umockdev test bed, which serves the same library).
#include <libudev.h>

#include <sstream>

#include "base/unique_handle.h"
#include "udev/udev_tree.h"

namespace kq::udev {
namespace {

using UniqueUdev = UniqueHandle<NullIsInvalidTraits<struct udev*, udev_unref>>;
using UniqueEnumerate = UniqueHandle<NullIsInvalidTraits<udev_enumerate*, udev_enumerate_unref>>;
using UniqueDevice = UniqueHandle<NullIsInvalidTraits<udev_device*, udev_device_unref>>;

std::string text(const char* value) { return value ? value : ""; }

Device readDevice(udev_device* device) {
  Device out;
  out.sysPath = text(udev_device_get_syspath(device));
  // The parent belongs to the child and is not unreferenced here.
  if (udev_device* parent = udev_device_get_parent(device))
    out.parentPath = text(udev_device_get_syspath(parent));
  out.subsystem = text(udev_device_get_subsystem(device));
  out.devType = text(udev_device_get_devtype(device));
  out.sysName = text(udev_device_get_sysname(device));
  out.driver = text(udev_device_get_driver(device));
  out.devNode = text(udev_device_get_devnode(device));
  std::istringstream links(text(udev_device_get_property_value(device, "DEVLINKS")));
  for (std::string link; links >> link;) out.links.push_back(link);
  for (const char* name : kAttributes)
    if (const char* value = udev_device_get_sysattr_value(device, name)) out.attrs[name] = value;
  for (const char* name : kProperties)
    if (const char* value = udev_device_get_property_value(device, name)) out.props[name] = value;
  return out;
}

}  // namespace

std::optional<Devices> ReadUdevDevices() {
  Devices devices;
  const UniqueUdev context(udev_new());
  if (!context) return std::nullopt;
  const UniqueEnumerate enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return std::nullopt;
  for (const char* subsystem : {"usb", "tty", "sound"})
    if (udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0) return std::nullopt;
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return std::nullopt;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const UniqueDevice device(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    // A device that went away since the scan is simply not there.
    if (device) devices.push_back(readDevice(device.get()));
  }
  return devices;
}

}  // namespace kq::udev
