// Units on Linux: udev's devices as the Windows tree the walk reads, the
// udev rules for stable names, and what kqports prints with Linux's names.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "base/utf8.h"
#include "console/options.h"
#include "console/render.h"
#include "memcm/memcm.h"
#include "udev/udev_rules.h"
#include "udev/udev_tree.h"
#include "units/unit_list.h"

namespace kq::test {
namespace {

using udev::Device;
using udev::Devices;

const std::string kRoot = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

Device usbDevice(const std::string& parent, const std::string& name, const std::string& vid,
                 const std::string& pid, const std::string& serial, const std::string& product) {
  Device d{parent + "/" + name, parent, "usb", "usb_device", name, "usb", "", {}, {}, {}};
  d.attrs = {{"idVendor", vid}, {"idProduct", pid}, {"product", product}};
  if (!serial.empty()) d.attrs["serial"] = serial;
  return d;
}

Device interface(const Device& usb, int number, const std::string& cls, const std::string& driver) {
  const std::string name = usb.sysName + ":1." + std::to_string(number);
  Device d{usb.sysPath + "/" + name, usb.sysPath, "usb", "usb_interface", name, driver, "", {}, {}, {}};
  d.attrs = {{"bInterfaceNumber", "0" + std::to_string(number)}, {"bInterfaceClass", cls}};
  return d;
}

Device tty(const std::string& parent, const std::string& relative, const std::string& name,
           const std::string& link) {
  return {parent + "/" + relative + name, parent, "tty", "", name, "", "/dev/" + name, {link}, {}, {}};
}

Device sound(const std::string& parent, const std::string& name, const std::string& id = "") {
  Device d{parent + "/" + name, parent, "sound", "", name, "", "", {}, {}, {}};
  if (!id.empty()) d.attrs["id"] = id;
  return d;
}

// A whole unit behind its own hub on port `port` of the root hub, as udev
// has it; `leave` names devices to leave out.
Devices unit(int port, const std::string& serial, const std::string& leave = "") {
  Devices out;
  const auto add = [&](const std::string& what, Device d) {
    if (leave.find(what) == std::string::npos) out.push_back(std::move(d));
  };
  const std::string hubName = "1-" + std::to_string(port);
  const Device hub = usbDevice(kRoot, hubName, "05e3", "0608", "", "USB2.0 Hub");
  add("hub", hub);
  add("hub", interface(hub, 0, "09", "hub"));
  const Device mcu =
      usbDevice(hub.sysPath, hubName + ".1", "0483", "a1df", "2051" + serial, "KQ-6200");
  add("mcu", mcu);
  for (int i = 0; i < 4; ++i) {
    const Device iface = interface(mcu, i, i % 2 ? "0a" : "02", "cdc_acm");
    add("mcu", iface);
    if (i % 2 == 0)
      add("acm", tty(iface.sysPath, "tty/", "ttyACM" + std::to_string(i / 2 + port * 2),
                     "/dev/serial/by-id/mcu-if0" + std::to_string(i)));
  }
  const Device ftdi =
      usbDevice(hub.sysPath, hubName + ".2", "0403", "6010", "FT" + serial, "Dual RS232-HS");
  add("ftdi", ftdi);
  for (int i = 0; i < 2; ++i) {
    const Device iface =
        interface(ftdi, i, "ff", leave.find("sio") == std::string::npos ? "ftdi_sio" : "");
    add("ftdi", iface);
    const std::string name = "ttyUSB" + std::to_string(i + port * 2);
    add("sio",
        tty(iface.sysPath, name + "/tty/", name, "/dev/serial/by-id/ftdi-if0" + std::to_string(i)));
  }
  const Device codec =
      usbDevice(hub.sysPath, hubName + ".3", "10c4", "eac3", "", "USB Audio CODEC");
  add("codec", codec);
  add("codec", interface(codec, 0, "01", "snd-usb-audio"));
  add("codec", interface(codec, 1, "ff", ""));
  add("codec", interface(codec, 2, "01", "snd-usb-audio"));
  const Device card = sound(codec.sysPath + "/" + codec.sysName + ":1.0/sound",
                            "card" + std::to_string(port), "CODEC");
  add("card", card);
  add("playback", sound(card.sysPath, "pcmC" + std::to_string(port) + "D0p"));
  add("capture", sound(card.sysPath, "pcmC" + std::to_string(port) + "D0c"));
  return out;
}

Devices withRoot(Devices devices) {
  Device root = usbDevice("/sys/devices/pci0000:00/0000:00:14.0", "usb1", "1d6b", "0002",
                          "0000:00:14.0", "xHCI Host Controller");
  devices.insert(devices.begin(), root);
  return devices;
}

udev::WindowsShape loaded(const Devices& devices) {
  udev::WindowsShape shape = udev::ShapeAsWindows(devices);
  memcm::putInForce({memcm::Snapshot{0, shape.nodes}});
  return shape;
}

const memcm::Node* nodeOf(const udev::WindowsShape& shape, const std::wstring& id) {
  for (const memcm::Node& node : shape.nodes)
    if (node.id == id) return &node;
  return nullptr;
}

bool anyIdHas(const udev::WindowsShape& shape, const std::wstring& part) {
  for (const memcm::Node& node : shape.nodes)
    if (node.id.find(part) != std::wstring::npos) return true;
  return false;
}

// A string property's text, or "(absent)".
std::wstring textOf(const memcm::Node& node, memcm::Prop prop) {
  const memcm::PropAnswer& answer = node.props[prop];
  if (answer.outcome == memcm::ReadOutcome::Absent) return L"(absent)";
  std::wstring text(answer.bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), answer.bytes.data(), text.size() * sizeof(wchar_t));
  return text.substr(0, text.find(L'\0'));
}

uint32_t problemOf(const memcm::Node& node) {
  uint32_t problem = 0;
  std::memcpy(&problem, node.props[memcm::kProblem].bytes.data(), sizeof problem);
  return problem;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(UdevTree, ACompleteUnitIsWalkedAsOnWindows) {
  const udev::WindowsShape shape = loaded(withRoot(unit(4, "40117")));
  const UnitList list(true, true);
  ASSERT_EQ(list.units.size(), 1u);
  const DeviceUnit& u = list.units[0];
  EXPECT_EQ(u.serial, L"40117");
  EXPECT_EQ(u.mcuStatus, kStatusComplete);
  EXPECT_EQ(u.ftdiStatus, kStatusComplete);
  EXPECT_EQ(u.audioStatus, kStatusComplete);
  EXPECT_EQ(u.catNode->portName, L"/dev/ttyUSB8");
  EXPECT_EQ(u.pttNode->portName, L"/dev/ttyUSB9");
  EXPECT_EQ(u.winkeyNode->portName, L"/dev/ttyACM8");
  EXPECT_EQ(u.fskNode->portName, L"/dev/ttyACM9");
  EXPECT_EQ(u.audioOutNode->friendlyName, L"hw:CARD=CODEC,DEV=0 (USB Audio CODEC)");
  EXPECT_EQ(u.audioInNode->friendlyName, L"hw:CARD=CODEC,DEV=0 (USB Audio CODEC)");
  const DeviceNames& cat = shape.names.at(*u.catNode->instanceId);
  EXPECT_EQ(cat.link, L"/dev/serial/by-id/ftdi-if00");
  EXPECT_NE(cat.id.find(L"/1-4.2:1.0/ttyUSB8/tty/ttyUSB8"), std::wstring::npos);
  EXPECT_EQ(shape.names.at(*u.audioInNode->instanceId).alsa, L"hw:CARD=CODEC,DEV=0");
}

TEST(UdevTree, ComponentsWithoutTheirDriverStopWhereWindowsStops) {
  struct Case {
    const char* leave;
    int mcu, ftdi, audio;
  };
  // No driver bound: the interfaces carry problem 28 (FTDI 7); a codec
  // without its card has no endpoints below MI_02 (7); an ACM interface
  // without its tty has no port name (MCU 4); a card with only its capture
  // PCM lacks the render endpoint beside it (5).
  const Case cases[] = {{"sio", 0, 7, 0},
                        {"card playback capture", 0, 0, 7},
                        {"acm", 4, 0, 0},
                        {"playback", 0, 0, 5}};
  for (const Case& c : cases) {
    loaded(withRoot(unit(4, "40117", c.leave)));
    const UnitList list(true, true);
    ASSERT_EQ(list.units.size(), 1u) << c.leave;
    EXPECT_EQ(list.units[0].mcuStatus, c.mcu) << c.leave;
    EXPECT_EQ(list.units[0].ftdiStatus, c.ftdi) << c.leave;
    EXPECT_EQ(list.units[0].audioStatus, c.audio) << c.leave;
  }
}

TEST(UdevTree, OnlyTheInterfacesWindowsShowsAreNodes) {
  const udev::WindowsShape shape = udev::ShapeAsWindows(withRoot(unit(4, "40117", "acm")));
  EXPECT_TRUE(nodeOf(shape, L"USB\\VID_0483&PID_A1DF&MI_00\\1-4.1:1.0"));
  EXPECT_TRUE(nodeOf(shape, L"USB\\VID_0483&PID_A1DF&MI_02\\1-4.1:1.2"));
  // CDC data interfaces fold into the function before them; a hub's own
  // interface is no node.
  EXPECT_FALSE(anyIdHas(shape, L"MI_01\\1-4.1:1.1"));
  EXPECT_FALSE(anyIdHas(shape, L"MI_03"));
  EXPECT_FALSE(anyIdHas(shape, L"1-4:1.0"));
  const memcm::Node* noDriver = nodeOf(shape, L"USB\\VID_10C4&PID_EAC3&MI_01\\1-4.3:1.1");
  ASSERT_TRUE(noDriver);
  EXPECT_EQ(noDriver->setupClass, memcm::SetupClass::Other);
  EXPECT_EQ(textOf(*noDriver, memcm::kDesc), L"USB Audio CODEC");
  EXPECT_EQ(problemOf(*noDriver), 28u);
}

TEST(UdevTree, SerialsAndNamesThatCannotStandInAnIdOrTreeAreReplaced) {
  Devices devices = withRoot(unit(4, "40117"));
  // Two devices with one serial, one with a blank in it, and product names
  // with a quote, a line end and bytes that are no UTF-8.
  devices.push_back(usbDevice(kRoot, "1-6", "046d", "c077", "SAME", "Mouse \"Pro\"\nv2"));
  devices.push_back(usbDevice(kRoot, "1-7", "046d", "c077", "SAME", "\xff\xfe Mouse"));
  devices.push_back(usbDevice(kRoot, "1-8", "046d", "c077", "A B", "Caf\xc3\xa9"));
  // A serial that is another device's sysfs name, taken first.
  devices.push_back(usbDevice(kRoot, "1-10", "046d", "c077", "1-11", "Mouse"));
  devices.push_back(usbDevice(kRoot, "1-11", "046d", "c077", "", "Mouse"));
  const udev::WindowsShape shape = loaded(devices);
  EXPECT_TRUE(nodeOf(shape, L"USB\\VID_046D&PID_C077\\1-11"));
  EXPECT_TRUE(nodeOf(shape, L"USB\\VID_046D&PID_C077\\1-11&2"));
  const struct {
    const wchar_t* id;
    const wchar_t* desc;
  } expected[] = {{L"USB\\VID_046D&PID_C077\\SAME", L"Mouse \"Pro\" v2"},
                  {L"USB\\VID_046D&PID_C077\\1-7", L"?? Mouse"},
                  {L"USB\\VID_046D&PID_C077\\1-8", L"Caf\u00e9"}};
  for (const auto& e : expected) {
    const memcm::Node* node = nodeOf(shape, e.id);
    ASSERT_TRUE(node) << encodeUtf8(e.id);
    EXPECT_EQ(node->setupClass, memcm::SetupClass::Usb);
    EXPECT_EQ(textOf(*node, memcm::kDesc), e.desc);
  }
  const UnitList list(true, true);
  ASSERT_EQ(list.units.size(), 1u);
  EXPECT_EQ(list.units[0].ftdiStatus, kStatusComplete);
}

TEST(UdevTree, TwoUnitsAreTwoUnitsAndNothingAttachedIsNone) {
  loaded(withRoot([] {
    Devices both = unit(4, "40117");
    const Devices second = unit(5, "40262");
    both.insert(both.end(), second.begin(), second.end());
    return both;
  }()));
  const UnitList two(true, true);
  ASSERT_EQ(two.units.size(), 2u);
  EXPECT_EQ(two.units[0].serial, L"40117");
  EXPECT_EQ(two.units[1].serial, L"40262");
  EXPECT_EQ(two.units[1].catNode->portName, L"/dev/ttyUSB10");

  loaded(withRoot({}));
  EXPECT_TRUE(UnitList(true, true).units.empty());
  loaded({});
  EXPECT_TRUE(UnitList(true, true).units.empty());
}

TEST(UdevRules, OnlyUnitSerialsReachTheRulesEachOnce) {
  EXPECT_TRUE(isPlainSerial(L"40117"));
  EXPECT_TRUE(isPlainSerial(L"A1b2C"));
  for (const wchar_t* bad : {L"", L"4011", L"401170", L"4011\"", L"40 17", L"4011*", L"4011\n",
                             L"4011\u00e9"})
    EXPECT_FALSE(isPlainSerial(bad)) << encodeUtf8(bad);
  const std::string rules =
      udev::UdevRules({L"40117", L"bad\"1", L"40117", L"40262"}, "1.2.3.4");
  EXPECT_TRUE(has(rules, "kqports 1.2.3.4"));
  EXPECT_TRUE(has(rules, "SYMLINK+=\"kq6200/40117/$env{KQ6200_ROLE}\""));
  EXPECT_TRUE(has(rules, "ATTR{id}=\"KQ40262\""));
  EXPECT_FALSE(has(rules, "bad"));
  EXPECT_EQ(rules.find("# Unit 40117"), rules.rfind("# Unit 40117"));
  EXPECT_TRUE(has(rules, "LABEL=\"kq6200_end\""));
}

TEST(UdevRules, TheSerialProgramReachesTheShellUnchanged) {
  // udev substitutes "%x" and "$x" in a program string: the only ones meant
  // are %p, the device's path; every other % and $ must come doubled.
  const std::string rules = udev::UdevRules({}, "1");
  const size_t start = rules.find("IMPORT{program}=\"");
  ASSERT_NE(start, std::string::npos);
  const std::string program = rules.substr(start, rules.find('\n', start) - start);
  for (size_t i = 0; i < program.size(); ++i) {
    if (program[i] != '%' && program[i] != '$') continue;
    const bool doubled = i + 1 < program.size() && program[i + 1] == program[i];
    EXPECT_TRUE(doubled || program.compare(i, 2, "%p") == 0) << program.substr(i, 12);
    if (doubled) ++i;
  }
  EXPECT_FALSE(has(program.substr(17, program.size() - 18), "\"")) << "a quote ends the value";
}

TEST(UdevRules, WithNoSerialEveryUnitIsNamedByTheSerialItsMcuGives) {
  const std::string rules = udev::UdevRules({}, "1.2.3.4");
  EXPECT_TRUE(has(rules, udev::kPackagedRulesFile));
  EXPECT_FALSE(has(rules, "# Unit "));
  EXPECT_TRUE(has(rules, "SYMLINK+=\"kq6200/$env{KQ6200_SERIAL}/$env{KQ6200_ROLE}\""));
  EXPECT_TRUE(has(rules, "ATTR{id}=\"KQ$env{KQ6200_SERIAL}\""));
  // Every rule that names, opens up or hides a device does so only for a
  // device whose unit serial is five letters or digits, in either form.
  for (const std::string& text : {rules, udev::UdevRules({L"40117"}, "1")}) {
    std::istringstream lines(text);
    int guarded = 0;
    for (std::string line; std::getline(lines, line);) {
      if (!has(line, "SYMLINK") && !has(line, "ATTR{id}") && !has(line, "uaccess") &&
          !has(line, "ID_MM_DEVICE_IGNORE"))
        continue;
      const size_t at = line.find("ENV{KQ6200_SERIAL}==\"");
      ASSERT_NE(at, std::string::npos) << line;
      const size_t start = at + 21;
      const std::string pattern = line.substr(start, line.find('"', start) - start);
      // udev matches with fnmatch: the pattern must take exactly what
      // isPlainSerial takes.
      for (const char* serial : {"40117", "A1b2C", "zZ09a", "4011", "401170", "4011*", "40-17",
                                 "4011/", "4011.", "../ab", "4011 ", "4011\xc3"})
        EXPECT_EQ(fnmatch(pattern.c_str(), serial, 0) == 0,
                  pattern == "40117" ? std::string(serial) == "40117"
                                     : isPlainSerial(std::wstring(serial, serial + strlen(serial))))
            << pattern << " " << serial;
      ++guarded;
    }
    EXPECT_EQ(guarded, 3) << text;
  }
  EXPECT_TRUE(has(rules, "ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\""));
}

TEST(ConsoleArgumentsOnLinux, UdevRulesTakesSerialsAndOnlyOnLinux) {
  const auto parse = [](std::vector<std::wstring> args, ConsolePlatform platform) {
    return ParseArguments(args, platform);
  };
  const ParsedArguments rules =
      parse({L"--udev-rules", L"40117", L"40262"}, ConsolePlatform::kLinux);
  ASSERT_FALSE(rules.badArgument);
  EXPECT_TRUE(rules.options.udevRules);
  EXPECT_EQ(rules.options.serials, (std::vector<std::wstring>{L"40117", L"40262"}));
  EXPECT_EQ(parse({L"--udev-rules"}, ConsolePlatform::kWindows).badArgument, L"--udev-rules");
  EXPECT_EQ(parse({L"40117", L"--udev-rules"}, ConsolePlatform::kLinux).options.serials,
            (std::vector<std::wstring>{L"40117"}));
  EXPECT_EQ(parse({L"--udev-rules", L"4011"}, ConsolePlatform::kLinux).badArgument, L"4011");
  EXPECT_NE(HelpText(ConsolePlatform::kLinux).find(L"--udev-rules"), std::wstring::npos);
  EXPECT_EQ(HelpText(ConsolePlatform::kWindows).find(L"--udev-rules"), std::wstring::npos);
}

TEST(ConsoleNames, LinuxNamesFollowPortsAndReplaceIds) {
  loaded(withRoot(unit(4, "40117", "capture")));  // audio incomplete: no audio roles
  const UnitList list(true, true);
  ReportNames names;
  names[*list.units[0].catNode->instanceId] = {L"/sys/cat", L"/dev/serial/by-id/cat", L"", L"", {}, std::nullopt, {}};
  names[*list.units[0].pttNode->instanceId] = {L"/sys/ptt", L"", L"", L"", {}, std::nullopt, {}};
  const ConsoleReport console{list, list.report(), true, std::nullopt, names, {}, {}};
  const ReportList report = NamedLines(console);
  EXPECT_EQ(report[1].text, L"    CAT Port \t - /dev/ttyUSB8 (/dev/serial/by-id/cat)");
  EXPECT_EQ(report[1].id, L"/sys/cat");
  EXPECT_EQ(report[2].text, L"    PTT/CW Port \t - /dev/ttyUSB9");
  EXPECT_EQ(report[2].id, L"/sys/ptt");
  EXPECT_EQ(report[3].id, *list.units[0].fskNode->instanceId) << "no names: kept";

  const std::wstring json =
      ReportJson(console, L"T", JsonLayout::kOneLine);
  EXPECT_NE(json.find(L"\"cat\": {\"name\": \"/dev/ttyUSB8\", \"id\": \"/sys/cat\", \"link\": "
                      L"\"/dev/serial/by-id/cat\", \"stable\": null}"),
            std::wstring::npos)
      << json;
  EXPECT_NE(
      json.find(L"\"ptt\": {\"name\": \"/dev/ttyUSB9\", \"id\": \"/sys/ptt\", \"link\": null, \"stable\": null}"),
      std::wstring::npos)
      << json;
  EXPECT_NE(
      json.find(L"[\"    CAT Port \\t - /dev/ttyUSB8 (/dev/serial/by-id/cat)\", \"/sys/cat\"]"),
      std::wstring::npos)
      << json;
  EXPECT_NE(json.find(L"\"audioIn\": null"), std::wstring::npos);
}

TEST(ConsoleNames, TheRulesLinkShowsOnlyOnItsOwnUnitsLineOfItsRole) {
  Devices devices = withRoot(unit(4, "40117"));
  // Links as rules could make them: CAT's own; on PTT another unit's; on FSK
  // another role's; on WinKey none of the exact shape.
  for (Device& d : devices) {
    if (d.sysName == "ttyUSB8") d.links.insert(d.links.begin(), "/dev/kq6200/40117/cat");
    if (d.sysName == "ttyUSB9") d.links.push_back("/dev/kq6200/40262/ptt");
    if (d.sysName == "ttyACM9") d.links.push_back("/dev/kq6200/40117/cat");
    if (d.sysName == "ttyACM8")
      d.links.insert(d.links.end(), {"/dev/kq6200/40117/winkey/x", "/dev/kq6200/4011/winkey",
                                     "/dev/kq6200/40117/../winkey", "/dev/kq6200/4011?/winkey"});
  }
  const udev::WindowsShape shape = loaded(devices);
  const UnitList list(true, true);
  const ConsoleReport console{list, list.report(), true, std::nullopt, shape.names, {}, {}};
  const ReportList report = NamedLines(console);
  ASSERT_EQ(report.size(), 7u);
  EXPECT_EQ(report[1].text,
            L"    CAT Port \t - /dev/ttyUSB8 (/dev/kq6200/40117/cat, /dev/serial/by-id/ftdi-if00)");
  EXPECT_EQ(report[2].text.find(L"kq6200"), std::wstring::npos) << report[2].text;
  EXPECT_EQ(report[3].text.find(L"kq6200"), std::wstring::npos) << report[3].text;
  EXPECT_EQ(report[4].text.find(L"kq6200"), std::wstring::npos) << report[4].text;
  EXPECT_EQ(report[5].text,
            L"    Audio Input \t - hw:CARD=CODEC,DEV=0 or plughw:CARD=CODEC,DEV=0 (USB Audio CODEC)");
  const std::wstring json =
      ReportJson(console, L"T", JsonLayout::kOneLine);
  EXPECT_NE(json.find(L"\"stable\": \"/dev/kq6200/40117/cat\""), std::wstring::npos) << json;
  EXPECT_NE(json.find(L"\"plughw\": \"plughw:CARD=CODEC,DEV=0\""), std::wstring::npos) << json;
  EXPECT_EQ(json.find(L"40262"), std::wstring::npos) << json;
}

}  // namespace
}  // namespace kq::test
