// The settings of --for: each program's keys and lines, as the program
// stores them, for one unit and for several, and what a unit does not give.
// The Linux forms whole are docs/kqports.md's examples (test_documented_settings).
#include <gtest/gtest.h>

#include <sstream>

#include "console/program_settings.h"

namespace kq::test {
namespace {

ProgramUnit linuxUnit(const std::wstring& serial) {
  const std::wstring links = L"/dev/kq6200/" + serial + L"/";
  return {serial,
          {},
          {links + L"cat", {}},
          {links + L"ptt", {}},
          {links + L"fsk", {}},
          {links + L"winkey", {}},
          {L"alsa_input.kq6200-" + serial + L".analog-stereo", {}},
          {L"alsa_output.kq6200-" + serial + L".analog-stereo", {}},
          {L"plughw:CARD=KQ" + serial + L",DEV=0", {}},
          NumberOf(serial, {serial})};
}

ProgramUnit windowsUnit(const std::wstring& cat, const std::wstring& ptt, const std::wstring& codec) {
  return {L"40117", {}, {cat, {}}, {ptt, {}}, {L"COM8", {}}, {L"COM7", {}},
          {L"Microphone (" + codec + L")", {}}, {L"Speakers (" + codec + L")", {}}, {},
          NumberOf(L"40117", {L"40117"})};
}

// The snippets `text` lacks.
std::vector<std::wstring> lacking(const std::wstring& text,
                                  std::initializer_list<const wchar_t*> snippets) {
  std::vector<std::wstring> out;
  for (const wchar_t* snippet : snippets)
    if (text.find(snippet) == std::wstring::npos) out.emplace_back(snippet);
  return out;
}

constexpr SettingsSystem kLinux = SettingsSystem::kLinux;
constexpr SettingsSystem kWindows = SettingsSystem::kWindows;
constexpr Program kEveryProgram[] = {Program::kWsjtx, Program::kRigctld, Program::kDirewolf,
                                     Program::kFldigi, Program::kFlrig};

TEST(ProgramSettings, AUnitsNumberIsItsSerialsWhateverOtherUnitsAreAttached) {
  // Users store the ports made of these: another count would move them.
  EXPECT_EQ(NumberOf(L"40117", {L"40262", L"40117"}).number, 88);
  EXPECT_EQ(NumberOf(L"a1b2c", {L"a1b2c"}).number, NumberOf(L"A1B2C", {}).number)
      << "Windows 7 shows a serial in lower case, later Windows in capitals";
  // 40103 and 40118 are 17, 40191 is 18: each later serial takes the next
  // free number while the earlier ones are attached, and says whose its own is.
  const std::vector<std::wstring> attached = {L"40191", L"40118", L"40103"};
  const UnitNumber late = NumberOf(L"40118", attached), third = NumberOf(L"40191", attached);
  EXPECT_EQ(NumberOf(L"40103", attached).number, 17);
  EXPECT_EQ(std::pair(late.number, late.ownHeldBy), std::pair(18, std::wstring(L"40103")));
  EXPECT_EQ(std::pair(third.number, third.ownHeldBy), std::pair(19, std::wstring(L"40118")));
  EXPECT_EQ(NumberOf(L"40191", {L"40191"}).number, 18);
}

TEST(ProgramSettings, WsjtxKeysOfAnInstanceOfItsOwnForEachUnit) {
  // Windows: its folders, COM ports and endpoint names; the lines swapped;
  // a missing value named, and a value QSettings would split quoted.
  ProgramUnit unit = windowsUnit(L"COM9", L"COM10", L"USB Audio CODEC");
  unit.label = L"IC7300";
  unit.audioOut = {{}, L"the codec's output is not in order (USB Audio ErrorCode: 5)"};
  unit.audioIn.value = L"Mic, \"left\" \\ 1";
  const std::wstring windows =
      ProgramSettings(Program::kWsjtx, {unit}, KeyingWithPttOn(ControlLine::kDtr), kWindows);
  EXPECT_TRUE(lacking(windows, {L"; WSJT-X for the unit IC7300 (S/N 40117), started as\n"
                                L"; wsjtx.exe --rig-name=IC7300: these keys of the group [Configuration] "
                                L"in\n; %LOCALAPPDATA%\\WSJT-X - IC7300\\WSJT-X - IC7300.ini, written",
                                L"\\xfPTT_method_DTR\\0)\nPTTport=COM10\n",
                                L"SoundInName=\"Mic, \\\"left\\\" \\\\ 1\"\n",
                                L"; SoundOutName: none: the codec's output is not in order (USB "
                                L"Audio ErrorCode:\n; 5).\n"})
                  .empty())
      << windows;
  EXPECT_EQ(windows.find(L"SoundOutName="), std::wstring::npos) << "no invented value";
}

TEST(ProgramSettings, RigctldListensOnThisMachineAloneAndRunsNothingAsPrinted) {
  ProgramUnit third = linuxUnit(L"40300");
  third.cat = {L"/dev/serial/by-id/usb-FTDI_Dual\\x20RS232-if00-port0", {}};
  third.ptt = {{}, L"the FTDI bridge's second channel is not in order (FTDI ErrorCode: 2)"};
  third.number = {67, L"40117"};
  ProgramUnit fourth = linuxUnit(L"40400");
  fourth.cat = {{}, L"the FTDI bridge has no driver (FTDI ErrorCode: 7)"};
  const std::wstring linux =
      ProgramSettings(Program::kRigctld, {third, fourth}, kUnitKeyingLines, kLinux);
  EXPECT_TRUE(lacking(linux, {L"\n# the unit with S/N 40300, on 127.0.0.1:4666 (the next free ones: "
                              L"its own are\n# those of the unit with S/N 40117 while both are "
                              L"attached)\n# PTT port: none: the FTDI bridge's second channel is not "
                              L"in order (FTDI\n# ErrorCode: 2).\n"
                              L"# rigctld -m MODEL -s SPEED -r '/dev/serial/by-id/usb-FTDI_Dual"
                              L"\\x20RS232-if00-port0' -T 127.0.0.1 -t 4666 "
                              L"-C dtr_state=OFF,rts_state=OFF\n",
                              L"# CAT port: none: the FTDI bridge has no driver (FTDI ErrorCode: 7).\n"})
                  .empty())
      << linux;
  EXPECT_EQ(linux.find(L"\nrigctld"), std::wstring::npos) << "every command is a comment";
  EXPECT_NE(ProgramSettings(Program::kRigctld, {windowsUnit(L"COM9", L"COM10", L"x")},
                            KeyingWithPttOn(ControlLine::kDtr), kWindows)
                .find(L"\n# rigctld.exe -m MODEL -s SPEED -r COM9 -p COM10 -P DTR -T 127.0.0.1 "
                      L"-t 4708 "),
            std::wstring::npos);
}

TEST(ProgramSettings, DirewolfOfItsOwnForEachUnitKeepsTheCwLineLowAtRest) {
  // A unit without its card gets no ADEVICE: Direwolf would take the default card.
  ProgramUnit silent = linuxUnit(L"40300");
  silent.alsa = {{}, L"the codec is not in order (USB Audio ErrorCode: 3)"};
  const std::wstring linux =
      ProgramSettings(Program::kDirewolf, {silent}, kUnitKeyingLines, kLinux);
  EXPECT_TRUE(lacking(linux, {L"direwolf -c ~/direwolf-40300.conf,",
                              L"\n# ADEVICE: none: the codec is not in order (USB Audio ErrorCode: 3).\n"})
                  .empty())
      << linux;
  EXPECT_EQ(linux.find(L"\nPTT"), std::wstring::npos) << linux;

  // Windows: the endpoints by the part of their names Windows gives
  // Direwolf, quoted; the lines swapped, CW on RTS; its ports of its number.
  const ProgramUnit unit = windowsUnit(L"COM9", L"COM10", L"USB Audio CODEC with a long name");
  const std::wstring windows = ProgramSettings(Program::kDirewolf, {unit},
                                               KeyingWithPttOn(ControlLine::kDtr), kWindows);
  EXPECT_TRUE(lacking(windows, {L"started as\n# direwolf.exe -c direwolf-40117.conf,",
                                L"ADEVICE \"Microphone (USB Audio CODEC wit\" \"Speakers (USB "
                                L"Audio CODEC with \"\nACHANNELS 1\nCHANNEL 0\n",
                                L"PTT COM10 DTR RTS\n# RTS keys CW. Named after DTR,",
                                L"\n# PTT RIG 2 127.0.0.1:4708\nAGWPORT 8176\nKISSPORT 8177\n"})
                  .empty())
      << windows;
}

TEST(ProgramSettings, FldigiAndFlrigOfAFolderOfTheirOwnForEachUnit) {
  ProgramUnit unit = linuxUnit(L"40117");
  unit.cat.value = L"/dev/serial/by-id/usb-A&B<C>-if00";
  unit.winkey = {{}, L"its WinKey Port is not in order (MCU ErrorCode: 4)"};
  const std::wstring fldigi =
      ProgramSettings(Program::kFldigi, {unit}, KeyingWithPttOn(ControlLine::kDtr), kLinux);
  EXPECT_TRUE(lacking(fldigi,
                      {L"<HAMRIGDEVICE>/dev/serial/by-id/usb-A&amp;B&lt;C&gt;-if00</HAMRIGDEVICE>\n",
        L"<TTYPTT>1</TTYPTT>\n<PTTDEV>/dev/kq6200/40117/ptt</PTTDEV>\n<RTSPTT>0</RTSPTT>\n"
        L"<DTRPTT>1</DTRPTT>\n",
        L"<CW_KEYLINE_on_ptt_port>1</CW_KEYLINE_on_ptt_port>\n<CWKEYLINE>1</CWKEYLINE>\n",
        L"<!-- and in ~/.fldigi-40117/fldigi.prefs: -->\n"
        L"; WK_serial_port_name: none: its WinKey Port is not in order (MCU ErrorCode: 4).\n"})
                  .empty())
      << fldigi;
  EXPECT_EQ(fldigi.find(L"FSK_ON_DTR>"), std::wstring::npos) << "the FSK port's line is the unit's";

  ProgramUnit labelled = linuxUnit(L"40262");
  labelled.label = L"left";
  const std::wstring flrig = ProgramSettings(Program::kFlrig, {labelled}, kUnitKeyingLines, kLinux);
  EXPECT_TRUE(lacking(flrig, {L"; flrig for the unit left (S/N 40262), started as\n"
                              L"; flrig --config-dir ~/.flrig-left: these settings of [.] in\n"
                              L"; ~/.flrig-left/<radio>.prefs",
                              L"\nsep_serial_port:/dev/kq6200/40262/ptt\nsep_rtsptt:1\nsep_dtrptt:0\n"
                              L"cwioSHARED:3\ncwioKEYLINE:2\nFSK_PORT:/dev/kq6200/40262/fsk\n"})
                  .empty())
      << flrig;
  EXPECT_EQ(flrig.find(L"\nFSK_KEYLINE:"), std::wstring::npos) << "no value: " << flrig;

  // Windows: the folder beside the program's own, quoted for a profile's
  // folder with a blank in it.
  const ProgramUnit windows = windowsUnit(L"COM9", L"COM10", L"x");
  for (const auto& [program, folder] :
       {std::pair{Program::kFlrig, L"flrig.exe --config-dir \"%USERPROFILE%\\flrig-40117.files\":"},
        std::pair{Program::kFldigi, L"fldigi.exe --config-dir \"%USERPROFILE%\\fldigi-40117.files\":"}})
    EXPECT_NE(ProgramSettings(program, {windows}, kUnitKeyingLines, kWindows).find(folder),
              std::wstring::npos)
        << folder;
}

TEST(ProgramSettings, ASerialOfAnotherShapeReachesNoLineAndEveryLineFitsEightyColumns) {
  // Serials a device may claim: shell and cmd syntax, a comment's end.
  for (const wchar_t* hostile : {L"$(id)", L"&calc", L"a'b\"c", L"x-->y", L"%OS%"}) {
    for (const SettingsSystem system : {kLinux, kWindows})
      for (const Program program : kEveryProgram) {
        const std::wstring text = ProgramSettings(program, {linuxUnit(L"40117"), linuxUnit(hostile)},
                                                  kUnitKeyingLines, system);
        EXPECT_EQ(text.find(hostile), std::wstring::npos) << text;
        EXPECT_TRUE(lacking(text, {L"the unit with S/N 40117", L"A unit whose S/N is not five "
                                                               L"letters or digits gets no settings"})
                        .empty())
            << text;
      }
  }
  // Long values and the longest label: a line wider than 80 columns is one
  // setting or one command.
  ProgramUnit unit = linuxUnit(L"40117");
  unit.label = L"FT-991A_left_01";
  unit.ptt.value = unit.cat.value = L"/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_KQ6A1B2C-if00-port0";
  unit.winkey = {{}, L"its WinKey Port is not in order (MCU ErrorCode: 4: The MCU's WinKey "
                     L"interface (MI_00) has no COM port): sudo modprobe cdc_acm"};
  unit.number = {3, L"40262"};
  const auto settingOrCommand = [](const std::wstring& line) {
    for (const wchar_t* start : {L"# rigctld", L"PTT ", L"ADEVICE ", L"<", L"PTTMethod=",
                                 L"CATSerialPort=", L"PTTport=", L"xcvr_serial_port:",
                                 L"sep_serial_port:"})
      if (line.rfind(start, 0) == 0) return line.find(L". ") == std::wstring::npos;
    return false;
  };
  for (const SettingsSystem system : {kLinux, kWindows})
    for (const Program program : kEveryProgram) {
      std::wistringstream lines(ProgramSettings(program, {unit}, kUnitKeyingLines, system));
      for (std::wstring line; std::getline(lines, line);)
        EXPECT_TRUE(line.size() <= 80 || settingOrCommand(line)) << line.size() << ": " << line;
    }
}

TEST(ProgramSettings, ProgramsAreNamedInAnyLetterCase) {
  EXPECT_EQ(FindProgram(L"WSJTX"), Program::kWsjtx);
  EXPECT_EQ(FindProgram(L"direwolf"), Program::kDirewolf);
  EXPECT_FALSE(FindProgram(L"wsjt"));
  EXPECT_EQ(FindProgram(L"Flrig"), Program::kFlrig);
  EXPECT_EQ(ProgramWords(), L"wsjtx, rigctld, direwolf, fldigi or flrig");
}

}  // namespace
}  // namespace kq::test
