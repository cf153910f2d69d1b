#include "udev/udev_rules.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "base/ascii.h"
#include "base/utf8.h"
#include "units/device_unit.h"
#include "units/roles.h"
#include "units/unit_ids.h"

namespace kq::udev {
namespace {

// sysfs, and so udev, write vendor and product IDs in lower case.
std::string udevId(const char* windowsId) { return toAsciiLower(std::string(windowsId)); }

// The characters a unit's serial may hold, spelled out: a range such as
// [0-9A-Za-z] follows the locale's collation in some shells.
constexpr char kPlainCharacters[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Run by udev, as root, for a device of a unit: climbs from the device to its
// USB device, looks among the devices beside it (behind the unit's own hub)
// for the MCU (kMcuFunctionId), and prints KQ6200_SERIAL=<the last five characters
// of the MCU's USB serial> only when that serial is what a unit's is: "2051",
// then at least five more characters, at most 126 in all, and nothing but
// ASCII letters and digits. Anything else prints nothing.
//
// The serial is a string whoever built the USB device chose, so the shell
// never expands it as a pattern or passes it to echo until `case` has found
// it to hold only letters and digits: `case` neither splits nor globs its
// word, and the bracket expression lists the characters instead of a range.
// Written without double quotes, and with udev's own "%" and "$" doubled, so
// that udev hands it to the shell unchanged; sysfs paths hold no blanks.
std::string SerialProgram() {
  // The longest MCU serial that still makes a unit: a longer one does not go
  // into the device's instance ID (udev_tree.cpp), so the program sees no unit.
  const std::string tooLong(kMaxUsbSerialLength + 1, '?');
  const std::string anySerial(kSerialLength, '?');
  return "/bin/sh -c 'd=/sys%p; "
         "while [ ! -f $$d/idProduct ] && [ $$d != /sys ]; do d=$${d%%/*}; done; "
         "for m in $${d%%/*}/*/; do "
         "case $$(cat $${m}idVendor 2>/dev/null):$$(cat $${m}idProduct 2>/dev/null) in " +
         udevId(kMcuFunctionId.vendor) + ":" + udevId(kMcuFunctionId.product) +
         ") ;; *) continue;; esac; "
         "s=$$(cat $${m}serial 2>/dev/null); "
         "case $$s in *[!" +
         std::string(kPlainCharacters) + "]*|" + tooLong +
         "*) exit 0;; " + kMcuSerialPrefix + anySerial + "*) ;; *) exit 0;; esac; "
         "echo KQ6200_SERIAL=$${s#$${s%%" + anySerial + "}}; exit 0; done'";
}


// udev's ENV{ID_USB_INTERFACE_NUM}: two hexadecimal digits in lower case.
std::string interfaceNumber(int number) {
  char text[4];
  std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(number) & 0xFFu);
  return text;
}

// A unit's serial as the rules accept it, matched by udev itself: five
// letters or digits, as isPlainSerial checks, so that whatever the serial
// program printed becomes a link name or card id only in that shape.
const std::string kSerialGlob = [] {
  std::string glob;
  for (size_t i = 0; i < kSerialLength; ++i) glob += "[0-9A-Za-z]";
  return glob;
}();

// A unit's links as the rules' comments list them, the unit named by `name`.
std::string linksOf(const std::string& name) {
  return encodeUtf8(LinkPath(wideFromUtf8(name), LinkNames()));
}

// What the file is for and how it is installed.
std::string header(bool everyUnit, const std::string& version) {
  if (everyUnit)
    return "# Stable names for every Quorvanta KQ-6200 unit, from kqports " + version +
           ".\n"
           "# The kqports package installs this file as " +
           std::string(kPackagedRulesFile) +
           ";\n"
           "# a file of the same name in /etc/udev/rules.d takes its place. Each unit's\n"
           "# ports are " + linksOf("<serial>") + ", and its sound\n"
           "# card is the ALSA card KQ<serial> (hw:CARD=KQ<serial>,DEV=0), which the\n"
           "# sound servers list as \"KQ-6200 S/N <serial>\" and name " +
           kSoundServerNamePrefix +
           "<serial>.\n"
           "# The package applies them\n"
           "# to the units attached when it is installed; others are named when next\n"
           "# plugged in.\n";
  return "# Stable names for Quorvanta KQ-6200 units, made by kqports " + version +
         ".\n"
         "# Install as " +
         std::string(kRulesFile) +
         ", then run\n"
         "#   udevadm control --reload\n"
         "#   udevadm trigger --subsystem-match=tty --subsystem-match=sound --action=add\n"
         "# (or unplug and plug in the units). Each unit's ports then are\n"
         "# " + linksOf("<serial>") + ", and its sound card is the\n"
         "# ALSA card KQ<serial> (hw:CARD=KQ<serial>,DEV=0), \"KQ-6200 S/N <serial>\"\n"
         "# in the sound servers' lists, which name it " +
         kSoundServerNamePrefix + "<serial>.\n";
}

// The card's description in the sound servers' lists: "KQ-6200 S/N 40117",
// with a label "KQ-6200 IC7300 (S/N 40117)".
std::string cardDescription(const std::string& serial, const std::string& label = {}) {
  return label.empty() ? "KQ-6200 S/N " + serial : "KQ-6200 " + label + " (S/N " + serial + ")";
}

// The card's names in the sound servers. Its description, where both units'
// codecs are otherwise "USB Audio CODEC": PulseAudio takes a card's
// description from SOUND_DESCRIPTION, and PulseAudio and PipeWire take its
// product name from ID_MODEL_FROM_DATABASE before the USB device's own
// (WirePlumber then describes the card by its product name). Its name, which
// programs store (WSJT-X keeps a source's and a sink's): PulseAudio names a
// card by PULSE_NAME before ID_ID, PipeWire by ACP_NAME before its bus ID,
// and both name its sources and sinks after it; without them, two codecs of
// the same kind and no serial take names by plug order.
std::string soundServerNames(const std::string& serial) {
  const std::string description = cardDescription(serial);
  const std::string name = std::string(kSoundServerNamePrefix) + serial;
  return ", ENV{SOUND_DESCRIPTION}=\"" + description + "\", ENV{ID_MODEL_FROM_DATABASE}=\"" +
         description + "\", ENV{PULSE_NAME}=\"" + name + "\", ENV{ACP_NAME}=\"" + name + "\"";
}

// KQ6200_ROLE of each port, by its USB function and interface.
std::string roleRules() {
  std::string out =
      "\n"
      "# The role of each port, by its USB function and interface.\n"
      "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" +
      udevId(kFtdiFunctionId.vendor) + "|" + udevId(kMcuFunctionId.vendor) +
      "\", IMPORT{builtin}=\"usb_id\"\n";
  for (const RoleInfo& role : kRoles)
    if (role.kind == RoleKind::kPort)
      out += "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + udevId(role.function.vendor) +
             "\", ATTRS{idProduct}==\"" + udevId(role.function.product) +
             "\", ENV{ID_USB_INTERFACE_NUM}==\"" + interfaceNumber(role.interfaceNumber) +
             "\", ENV{KQ6200_ROLE}=\"" + role.linkName + "\"\n";
  return out;
}

// KQ6200_SERIAL of a port and of the codec's sound card.
std::string serialRules() {
  return "\n"
         "# The unit's serial, from the MCU beside the device's USB function.\n"
         "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", IMPORT{program}=\"" +
         SerialProgram() + "\"\n" +
         "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ATTRS{idVendor}==\"" +
         udevId(kAudioFunctionId.vendor) + "\", ATTRS{idProduct}==\"" +
         udevId(kAudioFunctionId.product) + "\", IMPORT{program}=\"" + SerialProgram() + "\"\n";
}

std::string accessRule() {
  return "\n"
         "# A unit's four ports: ModemManager leaves them alone (its AT-command probe\n"
         "# of a new port can key a transmitter), and the user at the desk may open\n"
         "# them without being in the dialout group.\n"
         "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", ENV{KQ6200_SERIAL}==\"" +
         kSerialGlob + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n";
}

std::string everyUnitsNames() {
  return "\n"
         "# Every unit's links and sound card, by its serial.\n"
         "SUBSYSTEM==\"tty\", ENV{KQ6200_ROLE}==\"?*\", ENV{KQ6200_SERIAL}==\"" +
         kSerialGlob +
         "\", SYMLINK+=\"" + kLinkFolder + "/$env{KQ6200_SERIAL}/$env{KQ6200_ROLE}\"\n"
         "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ENV{KQ6200_SERIAL}==\"" +
         kSerialGlob + "\", ATTR{id}=\"KQ$env{KQ6200_SERIAL}\"" +
         soundServerNames("$env{KQ6200_SERIAL}") + "\n";
}

// `serial` is ASCII letters and digits, as isPlainSerial checked.
std::string unitsNames(const std::string& serial) {
  return "\n# Unit " + serial +
         "\n"
         "SUBSYSTEM==\"tty\", ENV{KQ6200_SERIAL}==\"" +
         serial + "\", ENV{KQ6200_ROLE}==\"?*\", SYMLINK+=\"" + kLinkFolder + "/" + serial +
         "/$env{KQ6200_ROLE}\"\n"
         "SUBSYSTEM==\"sound\", KERNEL==\"card*\", ENV{KQ6200_SERIAL}==\"" +
         serial + "\", ATTR{id}=\"KQ" + serial + "\"" + soundServerNames(serial) + "\n";
}

// The serials of `serials` that pass isPlainSerial, in order, each once.
std::vector<std::string> plainSerials(const std::vector<std::wstring>& serials) {
  std::vector<std::string> out;
  for (const std::wstring& wideSerial : serials) {
    if (!isPlainSerial(wideSerial)) continue;
    const std::string serial = encodeUtf8(wideSerial);
    if (std::find(out.begin(), out.end(), serial) == out.end()) out.push_back(serial);
  }
  return out;
}

// Each of a unit's USB functions learns the unit's serial as its ports do.
std::string usbSerialRules() {
  std::string out = "\n# The unit's serial on each of its USB functions, from the MCU beside it.\n";
  for (const UsbFunctionId& function : {kMcuFunctionId, kFtdiFunctionId, kAudioFunctionId})
    out += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
           udevId(function.vendor) + "\", ATTR{idProduct}==\"" + udevId(function.product) +
           "\", IMPORT{program}=\"" + SerialProgram() + "\"\n";
  return out;
}

// `serial` and `label` are as isPlainSerial and isPlainLabel checked.
std::string unitsLabel(const std::string& serial, const std::string& label) {
  const std::string unit = "ENV{KQ6200_SERIAL}==\"" + serial + "\", ";
  const std::string set = "ENV{KQ6200_LABEL}=\"" + label + "\"";
  const std::string description = cardDescription(serial, label);
  return "\n# Unit " + serial + ": " + label + "\n" +
         "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", " + unit + set + "\n" +
         "SUBSYSTEM==\"tty\", " + unit + "ENV{KQ6200_ROLE}==\"?*\", " + set + ", SYMLINK+=\"" + kLinkFolder + "/" +
         label + "/$env{KQ6200_ROLE}\"\n" +
         "SUBSYSTEM==\"sound\", KERNEL==\"card*\", " + unit + set +
         ", ENV{SOUND_DESCRIPTION}=\"" + description + "\", ENV{ID_MODEL_FROM_DATABASE}=\"" +
         description + "\"\n";
}

}  // namespace

std::string UdevLabelRules(const std::map<std::wstring, std::wstring>& labels,
                           const std::string& version) {
  std::string out =
      "# Labels for Quorvanta KQ-6200 units, made by kqports " + version +
      ".\n"
      "# Install as " +
      std::string(kLabelRulesFile) +
      ", beside the rules that name every unit\n"
      "# (" +
      std::string(kPackagedRulesFile) +
      " from the package, or kqports --udev-rules):\n"
      "# these add to them, need them, and run after them. Then run\n"
      "#   udevadm control --reload\n"
      "#   udevadm trigger --subsystem-match=usb --subsystem-match=tty "
      "--subsystem-match=sound --action=add\n"
      "# (or unplug and plug in the units). Each unit below then also has\n"
      "# " + linksOf("<label>") + ", KQ6200_LABEL on its USB functions,\n"
      "# ports and sound card, and its label in the card's description; its card id and\n"
      "# sound-server names stay its serial's. A unit not below is left as it is.\n"
      "\n"
      "ACTION==\"remove\", GOTO=\"kq6200_labels_end\"\n" +
      usbSerialRules();
  for (const auto& [serial, label] : labels)
    if (isPlainSerial(serial) && isPlainLabel(label))
      out += unitsLabel(encodeUtf8(serial), encodeUtf8(label));
  return out + "\nLABEL=\"kq6200_labels_end\"\n";
}

std::string UdevRules(const std::vector<std::wstring>& serials, const std::string& version) {
  std::string out = header(serials.empty(), version) +
                    "\n"
                    "ACTION==\"remove\", GOTO=\"kq6200_end\"\n" +
                    roleRules() + serialRules() + accessRule();
  if (serials.empty()) out += everyUnitsNames();
  for (const std::string& serial : plainSerials(serials)) out += unitsNames(serial);
  out += "\nLABEL=\"kq6200_end\"\n";
  return out;
}

}  // namespace kq::udev
