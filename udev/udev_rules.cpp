#include "udev/udev_rules.h"

#include <algorithm>
#include <cstdio>

#include "base/ascii.h"
#include "base/utf8.h"
#include "units/device_unit.h"
#include "units/unit_ids.h"

namespace kq::udev {
namespace {

// Run by udev for a device of a unit: climbs from the device to its USB
// device, looks among the devices beside it (behind the unit's own hub) for
// the MCU 0483:a1df, and prints the last five characters of the MCU's USB
// serial, the unit's serial. Written without double quotes, and with udev's
// own "%" and "$" doubled, so that udev hands it to the shell unchanged;
// sysfs paths hold no blanks.
constexpr char kSerialProgram[] =
    "/bin/sh -c 'd=/sys%p; "
    "while [ ! -f $$d/idProduct ] && [ $$d != /sys ]; do d=$${d%%/*}; done; "
    "for m in $${d%%/*}/*/; do "
    "[ $$(cat $${m}idVendor 2>/dev/null):$$(cat $${m}idProduct 2>/dev/null) = 0483:a1df ] || "
    "continue; "
    "s=$$(cat $${m}serial); echo KQ6200_SERIAL=$${s#$${s%%?????}}; exit 0; done'";

// sysfs, and so udev, write vendor and product IDs in lower case.
std::string udevId(const char* windowsId) { return toAsciiLower(std::string(windowsId)); }

// udev's ENV{ID_USB_INTERFACE_NUM}: two hexadecimal digits in lower case.
std::string interfaceNumber(int number) {
  char text[4];
  std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(number) & 0xFFu);
  return text;
}

}  // namespace

std::string UdevRules(const std::vector<std::wstring>& serials, const std::string& version) {
  std::string out =
      "# Stable names for Quorvanta KQ-6200 units, made by kqports " + version +
      ".\n"
      "# Install as " +
      std::string(kRulesFile) +
      ", then run\n"
      "#   udevadm control --reload && udevadm trigger\n"
      "# and unplug and plug in the units (or reboot). Each unit's ports then are\n"
      "# /dev/kq6200/<serial>/cat, ptt, fsk and winkey, and its sound card is the\n"
      "# ALSA card KQ<serial> (hw:CARD=KQ<serial>,DEV=0).\n"
      "\n"
      "ACTION==\"remove\", GOTO=\"kq6200_end\"\n"
      "\n"
      "# The role of each port, by its USB function and interface.\n"
      "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" +
      udevId(kFtdiFunctionId.vendor) + "|" + udevId(kMcuFunctionId.vendor) +
      "\", IMPORT{builtin}=\"usb_id\"\n";
  for (const PortInterface& port : kPortInterfaces)
    out += "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + udevId(port.function.vendor) +
           "\", ATTRS{idProduct}==\"" + udevId(port.function.product) +
           "\", ENV{ID_USB_INTERFACE_NUM}==\"" + interfaceNumber(port.interfaceNumber) +
           "\", ENV{KQ6200_ROLE}=\"" + port.name + "\"\n";
  out +=
      "\n"
      "# The unit's serial, from the MCU beside the device's USB function.\n"
      "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", IMPORT{program}=\"" +
      std::string(kSerialProgram) + "\"\n" +
      "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ATTRS{idVendor}==\"" + udevId(kAudioFunctionId.vendor) +
      "\", ATTRS{idProduct}==\"" + udevId(kAudioFunctionId.product) + "\", IMPORT{program}=\"" +
      kSerialProgram + "\"\n";
  std::vector<std::string> done;
  for (const std::wstring& wideSerial : serials) {
    if (!isPlainSerial(wideSerial)) continue;
    const std::string serial = encodeUtf8(wideSerial);  // ASCII, as checked
    if (std::find(done.begin(), done.end(), serial) != done.end())
      continue;
    done.push_back(serial);
    out += "\n# Unit " + serial +
           "\n"
           "SUBSYSTEM==\"tty\", ENV{KQ6200_SERIAL}==\"" +
           serial + "\", ENV{KQ6200_ROLE}==\"?*\", SYMLINK+=\"kq6200/" + serial +
           "/$env{KQ6200_ROLE}\"\n"
           "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ENV{KQ6200_SERIAL}==\"" +
           serial + "\", ATTR{id}=\"KQ" + serial + "\"\n";
  }
  out += "\nLABEL=\"kq6200_end\"\n";
  return out;
}

}  // namespace kq::udev
