// kqports' output: the aligned text, the JSON document of format 1, the
// watch's rules and the exit code.
#include <gtest/gtest.h>

#include "console/for_program.h"
#include "console/render.h"
#include "tests/tree_fixture.h"

namespace kq::test {

namespace {

DeviceNode found(const wchar_t* id) {
  DeviceNode node;
  node.instanceId = id;
  node.problemCode = 0;
  return node;
}

DeviceNode port(const wchar_t* id, const wchar_t* name) {
  DeviceNode node = found(id);
  node.portName = name;
  return node;
}

DeviceNode endpoint(const wchar_t* id, const wchar_t* name) {
  DeviceNode node = found(id);
  node.friendlyName = name;
  return node;
}

// A complete unit built by hand, split audio, drivers present.
DeviceUnit completeUnit() {
  DeviceUnit unit;
  unit.mcuStatus = unit.ftdiStatus = unit.audioStatus = kStatusComplete;
  unit.splitAudio = true;
  unit.mcuDriversPresent = true;
  unit.serial = L"12345";
  unit.catNode = port(L"C", L"COM9");
  unit.pttNode = port(L"P", L"COM10");
  unit.fskNode = port(L"F", L"COM8");
  unit.winkeyNode = port(L"W", L"COM7");
  unit.audioInNode = endpoint(L"I", L"Mic");
  unit.audioOutNode = endpoint(L"O", L"Spk");
  return unit;
}

UnitList listOf(std::vector<DeviceUnit> units) {
  loadTree("");  // an enumeration of nothing, then the units given
  UnitList list(true, true);
  list.units = std::move(units);
  return list;
}

// What kqports prints of `list`, its report made of its units.
ConsoleReport consoleOf(UnitList list, bool splitAudio = true) {
  Report report = list.report();
  return {std::move(list), std::move(report), splitAudio, std::nullopt, std::nullopt, {}, {}};
}

std::wstring unitJson(const DeviceUnit& unit) {
  return ReportJson(consoleOf(listOf({unit}), unit.splitAudio), L"T", JsonLayout::kOneLine);
}

}  // namespace

TEST(ConsoleText, ValuesLineUpInOneColumnAcrossUnitsWithoutTabs) {
  DeviceUnit second = completeUnit();
  second.serial = L"67890";
  second.ftdiStatus = 7;
  second.mcuDriversPresent = false;
  second.audioOutNode = endpoint(L"O2", L"Spk\tB\n2");  // control characters inside a name
  Report report = reportItems(completeUnit());
  for (ReportItem& line : reportItems(second)) report.push_back(std::move(line));

  EXPECT_EQ(ReportText(report),
            L"Quorvanta KQ6200 S/N 12345\n"
            L"    CAT Port     - COM9\n"
            L"    PTT/CW Port  - COM10\n"
            L"    FSK Port     - COM8\n"
            L"    WinKey Port  - COM7\n"
            L"    Audio Input  - Mic\n"
            L"    Audio Output - Spk\n"
            L"Quorvanta KQ6200 S/N 67890\n"
            L"    FTDI ErrorCode: 7\n"
            L"    WinKey & FSK - no drivers\n"
            L"    Audio Input  - Mic\n"
            L"    Audio Output - Spk B 2\n");
}

TEST(ConsoleText, ControlAndFormatCharactersBecomeSpaces) {
  // U+009B is CSI to a terminal, U+0085 a line end to some, U+009F the last
  // C1 control and U+00A0 the first character after them; the bidi
  // overrides, isolates and marks reorder a line. A device chooses these
  // strings, in its serial as in its names; the window shows the same.
  DeviceUnit unit = completeUnit();
  unit.serial = L"1\u009b2J3\u009f\u00a0";
  unit.audioInNode = endpoint(L"I", L"Mic\u009b31m\u007fA\u0085B\x01" L"C\u00a0D");
  unit.audioOutNode = endpoint(
      L"O", L"a\u202eb\u2066c\u2069d\u200fe\u061cf\u2028g\u00adh\U000E0041i\u0600j\u00e4\U0001F399");
  const std::wstring text = ReportText(reportItems(unit));
  EXPECT_EQ(text.substr(0, text.find(L'\n')), L"Quorvanta KQ6200 S/N 1 2J3 \u00a0");
  EXPECT_NE(text.find(L"    Audio Input  - Mic 31m A B C\u00a0D\n"), std::wstring::npos) << text;
  EXPECT_NE(text.find(L"    Audio Output - a b c d e f g h i j\u00e4\U0001F399\n"), std::wstring::npos)
      << text;
  const ReportList window = DisplayLines(reportItems(unit));
  EXPECT_EQ(window.front().text, L"Quorvanta KQ6200 S/N 1 2J3 \u00a0");
  EXPECT_EQ(window.back().text.substr(window.back().text.find(L" - ")),
            L" - a b c d e f g h i j\u00e4\U0001F399");
}

TEST(ConsoleText, ATabInADevicesStringsIsNoColumn) {
  // Only a role's label sets the values' column: a TAB in a serial, a port
  // name or a holder's command is a space like any control character, and
  // moves nothing.
  DeviceUnit unit = completeUnit();
  unit.serial = L"1\t345";
  unit.catNode = port(L"C", L"COM9\tX");
  ConsoleReport report = consoleOf(listOf({unit}));
  report.names.emplace();
  PortUse& use = (*report.names)[L"C"].use.emplace();
  use.holders = {{42, L"a\tvery long command name"}};
  EXPECT_EQ(ConsoleText(report, HelpSystem::kLinux),
            L"Quorvanta KQ6200 S/N 1 345\n"
            L"    CAT Port     - COM9 X\n"
            L"        open in a very long command name (pid 42)\n"
            L"    PTT/CW Port  - COM10\n"
            L"    FSK Port     - COM8\n"
            L"    WinKey Port  - COM7\n"
            L"    Audio Input  - Mic\n"
            L"    Audio Output - Spk\n");
}

TEST(ConsoleText, EachErrorLineIsFollowedByItsMeaningAndThisSystemsRemedy) {
  DeviceUnit unit = completeUnit();
  unit.ftdiStatus = 7;
  unit.audioStatus = 11;
  ConsoleOptions options;
  options.platform = ConsolePlatform::kLinux;
  const std::wstring onLinux = ConsoleOutput(options, consoleOf(listOf({unit})), L"T");
  options.platform = ConsolePlatform::kWindows;
  const std::wstring windows = ConsoleOutput(options, consoleOf(listOf({unit})), L"T");
  const std::wstring ftdi = L"    FTDI ErrorCode: 7\n        The FTDI bridge's channel A has no driver ";
  EXPECT_NE(onLinux.find(ftdi), std::wstring::npos) << onLinux;
  EXPECT_NE(windows.find(ftdi), std::wstring::npos) << windows;
  EXPECT_NE(onLinux.find(L"sudo modprobe ftdi_sio"), std::wstring::npos) << onLinux;
  EXPECT_NE(windows.find(L"FTDI CDM (VCP) driver"), std::wstring::npos) << windows;
  EXPECT_NE(onLinux.find(L"    AUDIO ErrorCode: 11\n        The codec's audio control"),
            std::wstring::npos);
  EXPECT_EQ(onLinux.find(L'`'), std::wstring::npos) << "Markdown quotes stay in the README";
  // One explanation line per error line, and none after other lines.
  size_t lines = 0;
  for (const wchar_t c : windows) lines += c == L'\n';
  EXPECT_EQ(lines, reportLines(unit).size() + 2) << windows;
}

TEST(ConsoleRole, OneNameForOneUnitAndAnExitCodeForEveryOtherCase) {
  DeviceUnit unit = completeUnit();
  ConsoleOptions options;
  options.role = L"cat";
  RoleAnswer answer = AnswerRole(consoleOf(listOf({unit})), options);
  EXPECT_EQ(answer.out, L"COM9\n");
  EXPECT_EQ(answer.exitCode, 0);
  options.role = L"audioIn";
  EXPECT_EQ(AnswerRole(consoleOf(listOf({unit})), options).out, L"Mic\n");

  // Linux names audio by its ALSA name, ports by their node.
  ReportNames names;
  names[L"I"] = DeviceNames{L"/sys/card1", L"", L"hw:CARD=CODEC,DEV=0", L"USB Audio CODEC", {}, std::nullopt, {}};
  ConsoleReport named = consoleOf(listOf({unit}));
  named.names = names;
  EXPECT_EQ(AnswerRole(named, options).out, L"hw:CARD=CODEC,DEV=0\n");

  // A role whose walk stopped short: nothing on standard output, exit 1.
  unit.mcuStatus = 4;
  options.role = L"winkey";
  answer = AnswerRole(consoleOf(listOf({unit})), options);
  EXPECT_EQ(answer.out, L"");
  EXPECT_EQ(answer.exitCode, 1);
  EXPECT_NE(answer.err.find(L"has no winkey device in order"), std::wstring::npos) << answer.err;

  // No unit: exit 1; two units and no --serial: bad usage, nothing printed.
  answer = AnswerRole(consoleOf(listOf({})), options);
  EXPECT_EQ(answer.out, L"");
  EXPECT_EQ(answer.exitCode, 1);
  DeviceUnit other = completeUnit();
  other.serial = L"67890";
  other.mcuInstanceId = L"M2";
  unit.mcuInstanceId = L"M1";
  UnitList two = listOf({unit, other});
  answer = AnswerRole(consoleOf(two), options);
  EXPECT_EQ(answer.out, L"");
  EXPECT_EQ(answer.exitCode, 2);

  // --serial picks one of them.
  KeepSerial(two, L"67890");
  ASSERT_EQ(two.units.size(), 1u);
  EXPECT_EQ(two.claimedIds, IdList{L"M2"});
  EXPECT_EQ(AnswerRole(consoleOf(two), options).out, L"COM7\n");
  KeepSerial(two, L"12345");
  EXPECT_TRUE(two.units.empty());
}

TEST(ConsoleText, NotFoundIsOneLineAndExitCodeOne) {
  loadTree("");
  const UnitList none(true, true);
  EXPECT_EQ(ReportText(none.report()), L"Quorvanta KQ-6200 not found\n");
  EXPECT_EQ(ExitCodeFor(none), 1);

  // A unit counts as found however little of it the walk reached.
  loadTree(edited(kOneUnit, {{kWinkey, "problem=10"}, {kCat, "problem=10"}}));
  const UnitList broken(true, true);
  ASSERT_EQ(broken.units.size(), 1u);
  EXPECT_NE(broken.units[0].mcuStatus, kStatusComplete);
  EXPECT_NE(broken.units[0].ftdiStatus, kStatusComplete);
  EXPECT_EQ(ExitCodeFor(broken), 0);
}

TEST(ConsoleJson, CompleteUnitAsIndentedDocument) {
  loadTree(kOneUnit);
  const UnitList units(true, true);
  const std::wstring cat = L"FTDIBUS\\\\VID_0403+PID_6010+KQ6A1B2CA\\\\0000";
  const std::wstring ptt = L"FTDIBUS\\\\VID_0403+PID_6010+KQ6A1B2CB\\\\0000";
  const std::wstring fsk = L"USB\\\\VID_0483&PID_A1DF&MI_02\\\\6&1A2B3C4&0&0002";
  const std::wstring winkey = L"USB\\\\VID_0483&PID_A1DF&MI_00\\\\6&1A2B3C4&0&0000";
  const std::wstring render =
      L"SWD\\\\MMDEVAPI\\\\{0.0.0.00000000}.{6a7c5e1d-1f2b-4c3d-9e8f-0a1b2c3d4e5f}";
  const std::wstring capture =
      L"SWD\\\\MMDEVAPI\\\\{0.0.1.00000000}.{7b8d6f2e-2a3c-4d4e-8f9a-1b2c3d4e5f60}";
  const std::wstring time = L"2025-03-09T14:03:07+01:00";
  EXPECT_EQ(
      ReportJson(consoleOf(units), time, JsonLayout::kIndented),
      L"{\n"
      L"  \"format\": 1,\n"
      L"  \"time\": \"2025-03-09T14:03:07+01:00\",\n"
      L"  \"splitAudio\": true,\n"
      L"  \"units\": [\n"
      L"    {\n"
      L"      \"serial\": \"12345\",\n"
      L"      \"label\": null,\n"
      L"      \"mcuStatus\": 0,\n"
      L"      \"ftdiStatus\": 0,\n"
      L"      \"audioStatus\": 0,\n"
      L"      \"cat\": {\"name\": \"COM9\", \"id\": \"" + cat + L"\"},\n"
      L"      \"ptt\": {\"name\": \"COM10\", \"id\": \"" + ptt + L"\"},\n"
      L"      \"fsk\": {\"name\": \"COM8\", \"id\": \"" + fsk + L"\"},\n"
      L"      \"winkey\": {\"name\": \"COM7\", \"id\": \"" + winkey + L"\"},\n"
      L"      \"audioIn\": {\"name\": \"Microphone (USB Audio CODEC)\", \"id\": \"" +
          capture + L"\"},\n"
      L"      \"audioOut\": {\"name\": \"Speakers (USB Audio CODEC)\", \"id\": \"" +
          render + L"\"},\n"
      L"      \"problems\": []\n"
      L"    }\n"
      L"  ],\n"
      L"  \"report\": [\n"
      L"    [\"Quorvanta KQ6200 S/N 12345\", \"\"],\n"
      L"    [\"    CAT Port \\t - COM9\", \"" + cat + L"\"],\n"
      L"    [\"    PTT/CW Port \\t - COM10\", \"" + ptt + L"\"],\n"
      L"    [\"    FSK Port \\t - COM8\", \"" + fsk + L"\"],\n"
      L"    [\"    WinKey Port \\t - COM7\", \"" + winkey + L"\"],\n"
      L"    [\"    Audio Input \\t - Microphone (USB Audio CODEC)\", \"" + capture +
          L"\"],\n"
      L"    [\"    Audio Output\\t - Speakers (USB Audio CODEC)\", \"" + render + L"\"]\n"
      L"  ]\n"
      L"}");
}

TEST(ConsoleJson, EscapesQuotesBackslashesAndControlsAndKeepsOtherCharacters) {
  DeviceUnit unit = completeUnit();
  unit.serial = L"a\"b\\c";
  unit.audioInNode =
      endpoint(L"I\\1", L"Mic\t\x01\x1f\u007f\u009b\u0085\u009f\u00a0\u202e\u2066\U000E0041 "
                        L"\u041c\u0438\u043a \U0001F399 \u00e4");
  const std::wstring json = unitJson(unit);
  EXPECT_NE(json.find(L"\"serial\": \"a\\\"b\\\\c\""), std::wstring::npos) << json;
  const std::wstring audioIn =
      L"\"audioIn\": {\"name\": \"Mic\\t\\u0001\\u001f\\u007f\\u009b\\u0085\\u009f\u00a0\\u202e\\u2066"
      L"\\udb40\\udc41 \u041c\u0438\u043a \U0001F399 \u00e4\", "
      L"\"id\": \"I\\\\1\"}";
  EXPECT_NE(json.find(audioIn), std::wstring::npos) << json;
}

TEST(ConsoleJson, RolesAreNullWithoutTheirDeviceAndNamesNullWithoutAName) {
  DeviceUnit unit = completeUnit();
  unit.serial = L"";
  unit.ftdiStatus = 3;              // the FTDI walk stopped: no CAT, no PTT
  unit.mcuDriversPresent = false;   // complete MCU walk, but no drivers: no FSK, no WinKey
  unit.audioInNode = found(L"I");   // an endpoint without a friendly name
  unit.audioOutNode = endpoint(L"O", L"");
  const std::wstring nulls = unitJson(unit);
  EXPECT_EQ(nulls.substr(0, nulls.find(L", \"report\": ")),
            L"{\"format\": 1, \"time\": \"T\", \"splitAudio\": true, \"units\": [{"
            L"\"serial\": \"\", \"label\": null, \"mcuStatus\": 0, \"ftdiStatus\": 3, \"audioStatus\": 0, "
            L"\"cat\": null, \"ptt\": null, "
            L"\"fsk\": null, \"winkey\": null, \"audioIn\": {\"name\": null, \"id\": \"I\"}, "
            L"\"audioOut\": {\"name\": \"\", \"id\": \"O\"}, \"problems\": [{\"walk\": \"ftdi\", "
            L"\"code\": 3, \"meaning\": \"" + std::wstring(FindStatusHelp(Walk::kFtdi, 3)->meaning) +
            L"\", \"remedy\": \"" + PlainText(FindStatusHelp(Walk::kFtdi, 3)->onWindows) +
            L"\"}]}]");

  // A complete status whose node is missing, or was not found, names no device.
  unit = completeUnit();
  unit.catNode.reset();
  unit.pttNode = DeviceNode{};
  const std::wstring json = unitJson(unit);
  EXPECT_NE(json.find(L"\"cat\": null, \"ptt\": null, \"fsk\": {"), std::wstring::npos) << json;
}

TEST(ConsoleJson, WithoutSplitAudioTheOneAudioDeviceIsInputAndOutput) {
  loadTree(replaced(kOneUnit, kMcu, R"(usb\vid_0483&pid_a1df\205112345)"));
  const UnitList units(false, true);
  const std::wstring json =
      ReportJson(consoleOf(units, false), L"T", JsonLayout::kOneLine);
  const std::wstring device = L"{\"name\": \"USB Audio CODEC\", "
                              L"\"id\": \"USB\\\\VID_10C4&PID_EAC3&MI_02\\\\6&3C4D5E6&0&0002\"}";
  EXPECT_NE(json.find(L"\"splitAudio\": false"), std::wstring::npos) << json;
  EXPECT_NE(json.find(L"\"audioIn\": " + device + L", \"audioOut\": " + device), std::wstring::npos)
      << json;
}

TEST(ConsoleJson, EveryStatusCodeShowsAsItsNumber) {
  for (int status = 1; status <= kLastStepStatus; ++status) {
    DeviceUnit unit = completeUnit();
    unit.mcuStatus = unit.ftdiStatus = unit.audioStatus = static_cast<int8_t>(status);
    const std::wstring code = std::to_wstring(status);
    EXPECT_NE(unitJson(unit).find(L"\"mcuStatus\": " + code + L", \"ftdiStatus\": " + code +
                                  L", \"audioStatus\": " + code +
                                  L", \"cat\": null, \"ptt\": null, \"fsk\": null, \"winkey\": "
                                  L"null, \"audioIn\": null, \"audioOut\": null, \"problems\": ["),
              std::wstring::npos)
        << status;
    EXPECT_EQ(ReportText(reportItems(unit)),
              L"Quorvanta KQ6200 S/N 12345\n    FTDI ErrorCode: " + code +
                  L"\n    MCU ErrorCode: " + code + L"\n    AUDIO ErrorCode: " + code + L"\n")
        << status;
  }
}

TEST(ConsoleOutput, EachModeFramesTheReportItsOwnWay) {
  loadTree("");
  const UnitList none(true, true);
  const ConsoleReport report = consoleOf(none);
  const auto output = [&](bool json, bool watch) {
    ConsoleOptions options;
    options.json = json;
    options.watch = watch;
    return ConsoleOutput(options, report, L"2025-03-09T14:03:07+00:00");
  };
  EXPECT_EQ(output(false, false), L"Quorvanta KQ-6200 not found\n");
  EXPECT_EQ(output(false, true), L"2025-03-09T14:03:07+00:00\nQuorvanta KQ-6200 not found\n\n");
  // JSON Lines under --watch: the whole document on one line.
  EXPECT_EQ(output(true, true),
            L"{\"format\": 1, \"time\": \"2025-03-09T14:03:07+00:00\", \"splitAudio\": true, "
            L"\"units\": [], \"report\": [[\"Quorvanta KQ-6200 not found\", \"\"]]}\n");
  EXPECT_EQ(output(true, false).find(L"{\n  \"format\": 1,\n"), 0u);
}

TEST(ConsoleTime, LocalTimeWithItsOffsetInIso8601) {
  LocalTime time;
  time.year = 2025, time.month = 3, time.day = 9, time.hour = 4, time.minute = 5, time.second = 6;
  time.utcOffsetMinutes = 60;
  EXPECT_EQ(FormatLocalTime(time), L"2025-03-09T04:05:06+01:00");
  time.utcOffsetMinutes = 0;
  EXPECT_EQ(FormatLocalTime(time), L"2025-03-09T04:05:06+00:00");
  time.utcOffsetMinutes = -210;  // Newfoundland
  EXPECT_EQ(FormatLocalTime(time), L"2025-03-09T04:05:06-03:30");
  time.year = 2024, time.month = 12, time.day = 31, time.hour = 23, time.minute = 59;
  time.second = 59, time.utcOffsetMinutes = 345;  // Nepal
  EXPECT_EQ(FormatLocalTime(time), L"2024-12-31T23:59:59+05:45");
}

TEST(ReportWatch, PrintsTheFirstReportAndThenOnlyEachChange) {
  ReportWatch watch;
  const ReportList a = {{L"Quorvanta KQ6200 S/N 12345", L""}, {L"    CAT Port \t - COM9", L"X"}};
  ReportList sameLinesOtherId = a;
  sameLinesOtherId[1].id = L"Y";
  ReportList longer = a;
  longer.push_back({L"    FTDI ErrorCode: 1", L""});

  EXPECT_TRUE(ReportChanged(watch, a));
  EXPECT_FALSE(ReportChanged(watch, a));
  EXPECT_FALSE(ReportChanged(watch, ReportList(a)));
  EXPECT_TRUE(ReportChanged(watch, sameLinesOtherId));
  EXPECT_TRUE(ReportChanged(watch, a));
  EXPECT_TRUE(ReportChanged(watch, longer));
  EXPECT_FALSE(ReportChanged(watch, longer));
  EXPECT_TRUE(ReportChanged(watch, a));
}

TEST(ConsoleSeen, SaysWhichFunctionsWereSeenWhereAndThatTheMcuWasNot) {
  EXPECT_EQ(LinesText(SeenLines({}, nullptr)),
            L"        None of the unit's USB functions is attached (the MCU 0483:A1DF, the FTDI "
            L"bridge 0403:6010, the codec 10C4:EAC3): check the USB cable, and that the unit is "
            L"powered.\n");
  std::vector<SeenFunction> seen = {{Walk::kFtdi, L"USB\\VID_0403&PID_6010\\KQ6A1B2C", 0},
                                    {Walk::kAudio, L"USB\\VID_10C4&PID_EAC3\\5&1\x1b", 28}};
  ReportNames names;  // Linux names the place by the sysfs path
  names[L"USB\\VID_0403&PID_6010\\KQ6A1B2C"].id = L"/sys/devices/pci0000:00/usb1/1-4/1-4.2";
  EXPECT_EQ(LinesText(SeenLines(seen, &names)),
            L"        Seen: the FTDI bridge 0403:6010 on USB port 1-4.2.\n"
            L"        Seen: the codec 10C4:EAC3 as USB\\VID_10C4&PID_EAC3\\5&1 , with problem "
            L"code 28.\n"
            L"        Not seen: the MCU 0483:A1DF, by which a unit is found: unplug the unit and "
            L"plug it in again.\n");
  seen.push_back({Walk::kMcu, L"USB\\VID_0483&PID_A1DF\\2051", 0});
  EXPECT_EQ(LinesText(SeenLines(seen, nullptr)).find(L"Not seen"), std::wstring::npos);
  // Only a report without units gains them.
  ConsoleReport none = consoleOf(listOf({}));
  none.seen = seen;
  EXPECT_EQ(WatchedLines(none).size(), 4u);
  ConsoleReport some = consoleOf(listOf({DeviceUnit{}}));
  some.report = {NotFoundItem()};
  some.seen = seen;
  EXPECT_EQ(WatchedLines(some).size(), 1u);
}

TEST(ConsoleFor, AWindowsPortNameThatIsNoComPortGoesIntoNoCommand) {
  // A device chooses its friendly name, from which the port's name comes.
  DeviceUnit unit = completeUnit();
  unit.catNode = port(L"C", L"COM9 & del");
  ConsoleOptions options;
  options.program = Program::kRigctld;
  const RoleAnswer answer = AnswerFor(consoleOf(listOf({unit})), options);
  EXPECT_EQ(answer.exitCode, kExitOk);
  EXPECT_EQ(answer.out.find(L"rigctld.exe"), std::wstring::npos) << answer.out;
  EXPECT_NE(answer.out.find(L"# CAT port: none: its CAT Port's name \"COM9 & del\" is no COM "
                            L"port's name."),
            std::wstring::npos)
      << answer.out;
  options.program = Program::kWsjtx;
  EXPECT_NE(AnswerFor(consoleOf(listOf({completeUnit()})), options).out.find(L"CATSerialPort=COM9\n"),
            std::wstring::npos);
}

}  // namespace kq::test
