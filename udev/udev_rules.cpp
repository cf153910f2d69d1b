#include "udev/udev_rules.h"

#include <algorithm>

#include "base/utf8.h"
#include "units/device_unit.h"

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

struct PortRole {
  const char* vendor;
  const char* product;
  const char* interface;
  const char* role;
};

constexpr PortRole kPortRoles[] = {
    {"0403", "6010", "00", "cat"},
    {"0403", "6010", "01", "ptt"},
    {"0483", "a1df", "02", "fsk"},
    {"0483", "a1df", "00", "winkey"},
};

// A unit's serial as the rules accept it, matched by udev itself: five
// letters or digits, as isPlainSerial checks, so that whatever the serial
// program printed becomes a link name or card id only in that shape.
constexpr char kSerialGlob[] =
    "[0-9A-Za-z][0-9A-Za-z][0-9A-Za-z][0-9A-Za-z][0-9A-Za-z]";

}  // namespace

std::string UdevRules(const std::vector<std::wstring>& serials, const std::string& version) {
  const std::string header =
      serials.empty()
          ? "# Stable names for every Quorvanta KQ-6200 unit, from kqports " + version +
                ".\n"
                "# The kqports package installs this file as " +
                std::string(kPackagedRulesFile) +
                ";\n"
                "# a file of the same name in /etc/udev/rules.d takes its place. Each unit's\n"
                "# ports are /dev/kq6200/<serial>/cat, ptt, fsk and winkey, and its sound\n"
                "# card is the ALSA card KQ<serial> (hw:CARD=KQ<serial>,DEV=0), from the\n"
                "# time the unit is next plugged in.\n"
          : "# Stable names for Quorvanta KQ-6200 units, made by kqports " + version +
                ".\n"
                "# Install as " +
                std::string(kRulesFile) +
                ", then run\n"
                "#   udevadm control --reload && udevadm trigger\n"
                "# and unplug and plug in the units (or reboot). Each unit's ports then are\n"
                "# /dev/kq6200/<serial>/cat, ptt, fsk and winkey, and its sound card is the\n"
                "# ALSA card KQ<serial> (hw:CARD=KQ<serial>,DEV=0).\n";
  std::string out = header +
      "\n"
      "ACTION==\"remove\", GOTO=\"kq6200_end\"\n"
      "\n"
      "# The role of each port, by its USB function and interface.\n"
      "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403|0483\", IMPORT{builtin}=\"usb_id\"\n";
  for (const PortRole& port : kPortRoles)
    out += "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + std::string(port.vendor) +
           "\", ATTRS{idProduct}==\"" + port.product + "\", ENV{ID_USB_INTERFACE_NUM}==\"" +
           port.interface + "\", ENV{KQ6200_ROLE}=\"" + port.role + "\"\n";
  out +=
      "\n"
      "# The unit's serial, from the MCU beside the device's USB function.\n"
      "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", IMPORT{program}=\"" +
      std::string(kSerialProgram) + "\"\n" +
      "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ATTRS{idVendor}==\"10c4\", "
      "ATTRS{idProduct}==\"eac3\", IMPORT{program}=\"" +
      kSerialProgram + "\"\n" +
      "\n"
      "# A unit's four ports: ModemManager leaves them alone (its AT-command probe\n"
      "# of a new port can key a transmitter), and the user at the desk may open\n"
      "# them without being in the dialout group.\n"
      "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", ENV{KQ6200_SERIAL}==\"" +
      kSerialGlob + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n";
  if (serials.empty()) {
    out += "\n"
           "# Every unit's links and sound card, by its serial.\n"
           "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", ENV{KQ6200_SERIAL}==\"" +
           std::string(kSerialGlob) +
           "\", SYMLINK+=\"kq6200/$env{KQ6200_SERIAL}/$env{KQ6200_ROLE}\"\n"
           "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ENV{KQ6200_SERIAL}==\"" +
           kSerialGlob + "\", ATTR{id}=\"KQ$env{KQ6200_SERIAL}\"\n";
  }
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
