// The settings of --for: each program's keys and lines, as the program
// stores them, for one unit and for several, and what a unit does not give.
#include <gtest/gtest.h>

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
          {L"plughw:CARD=KQ" + serial + L",DEV=0", {}}};
}

ProgramUnit windowsUnit(const std::wstring& cat, const std::wstring& ptt, const std::wstring& codec) {
  return {L"40117", {}, {cat, {}}, {ptt, {}}, {L"COM8", {}}, {L"COM7", {}},
          {L"Microphone (" + codec + L")", {}}, {L"Speakers (" + codec + L")", {}}, {}};
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

TEST(ProgramSettings, WsjtxKeysPerUnitWithARigNameForTheSecond) {
  EXPECT_EQ(ProgramSettings(Program::kWsjtx, {linuxUnit(L"40117"), linuxUnit(L"40262")},
                            kUnitKeyingLines, kLinux),
            L"; WSJT-X, the unit with S/N 40117: these keys of the group [Configuration] in\n"
            L"; ~/.config/WSJT-X.ini, written while WSJT-X is closed.\n"
            L"[Configuration]\n"
            L"CATSerialPort=/dev/kq6200/40117/cat\n"
            L"PTTMethod=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1eTransceiverFactory::PTTMethod\\0\\0\\0\\0"
            L"\\xfPTT_method_RTS\\0)\n"
            L"PTTport=/dev/kq6200/40117/ptt\n"
            L"SoundInName=alsa_input.kq6200-40117.analog-stereo\n"
            L"SoundOutName=alsa_output.kq6200-40117.analog-stereo\n"
            L"\n"
            L"; WSJT-X, the unit with S/N 40262: started as wsjtx --rig-name=40262, which keeps\n"
            L"; its settings apart in ~/.config/WSJT-X - 40262.ini, group [Configuration].\n"
            L"[Configuration]\n"
            L"CATSerialPort=/dev/kq6200/40262/cat\n"
            L"PTTMethod=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1eTransceiverFactory::PTTMethod\\0\\0\\0\\0"
            L"\\xfPTT_method_RTS\\0)\n"
            L"PTTport=/dev/kq6200/40262/ptt\n"
            L"SoundInName=alsa_input.kq6200-40262.analog-stereo\n"
            L"SoundOutName=alsa_output.kq6200-40262.analog-stereo\n");

  // Windows: its folders, COM ports and endpoint names; the lines swapped;
  // a missing value named, and a value QSettings would split quoted.
  ProgramUnit unit = windowsUnit(L"COM9", L"COM10", L"USB Audio CODEC");
  unit.audioOut = {{}, L"the codec's output is not in order (USB Audio ErrorCode: 5)"};
  unit.audioIn.value = L"Mic, \"left\" \\ 1";
  const std::wstring windows =
      ProgramSettings(Program::kWsjtx, {unit, unit}, KeyingWithPttOn(ControlLine::kDtr), kWindows);
  EXPECT_TRUE(lacking(windows, {L"; %LOCALAPPDATA%\\WSJT-X\\WSJT-X.ini, written while",
                                L"started as wsjtx.exe --rig-name=40117, which keeps\n; its settings "
                                L"apart in %LOCALAPPDATA%\\WSJT-X - 40117\\WSJT-X - 40117.ini",
                                L"\\xfPTT_method_DTR\\0)\nPTTport=COM10\n",
                                L"SoundInName=\"Mic, \\\"left\\\" \\\\ 1\"\n",
                                L"; SoundOutName: none: the codec's output is not in order (USB "
                                L"Audio ErrorCode: 5).\n"})
                  .empty())
      << windows;
  EXPECT_EQ(windows.find(L"SoundOutName="), std::wstring::npos) << "no invented value";
}

TEST(ProgramSettings, RigctldALinePerUnitOnItsOwnTcpPort) {
  ProgramUnit third = linuxUnit(L"40300");
  third.cat = {L"/dev/serial/by-id/usb-FTDI_Dual\\x20RS232-if00-port0", {}};
  third.ptt = {{}, L"the FTDI bridge's second channel is not in order (FTDI ErrorCode: 2)"};
  ProgramUnit fourth = linuxUnit(L"40400");
  fourth.cat = {{}, L"the FTDI bridge has no driver (FTDI ErrorCode: 7)"};
  EXPECT_EQ(ProgramSettings(Program::kRigctld, {linuxUnit(L"40117"), linuxUnit(L"40262"), third, fourth},
                            kUnitKeyingLines, kLinux),
            L"# rigctld, one per unit. MODEL is the radio's Hamlib model number (rigctl -l\n"
            L"# lists them); dtr_state and rts_state keep the CAT port's control lines low\n"
            L"# as it opens.\n"
            L"\n# the unit with S/N 40117, on TCP port 4532\n"
            L"rigctld -m MODEL -r /dev/kq6200/40117/cat -p /dev/kq6200/40117/ptt -P RTS -t 4532 "
            L"-C dtr_state=OFF,rts_state=OFF\n"
            L"\n# the unit with S/N 40262, on TCP port 4534\n"
            L"rigctld -m MODEL -r /dev/kq6200/40262/cat -p /dev/kq6200/40262/ptt -P RTS -t 4534 "
            L"-C dtr_state=OFF,rts_state=OFF\n"
            L"\n# the unit with S/N 40300, on TCP port 4536\n"
            L"# PTT port: none: the FTDI bridge's second channel is not in order (FTDI ErrorCode: 2).\n"
            L"rigctld -m MODEL -r '/dev/serial/by-id/usb-FTDI_Dual\\x20RS232-if00-port0' -t 4536 "
            L"-C dtr_state=OFF,rts_state=OFF\n"
            L"\n# the unit with S/N 40400, on TCP port 4538\n"
            L"# CAT port: none: the FTDI bridge has no driver (FTDI ErrorCode: 7).\n");
  const std::wstring windows = ProgramSettings(
      Program::kRigctld, {windowsUnit(L"COM9", L"COM10", L"x")}, KeyingWithPttOn(ControlLine::kDtr),
      kWindows);
  EXPECT_NE(windows.find(L"rigctld.exe -m MODEL -r COM9 -p COM10 -P DTR -t 4532 "), std::wstring::npos)
      << windows;
}

TEST(ProgramSettings, DirewolfCardsAndChannelsOfOneFile) {
  ProgramUnit silent = linuxUnit(L"40300");
  silent.alsa = {{}, L"the codec is not in order (USB Audio ErrorCode: 3)"};
  EXPECT_EQ(ProgramSettings(Program::kDirewolf, {linuxUnit(L"40117"), silent, linuxUnit(L"40262")},
                            kUnitKeyingLines, kLinux),
            L"# Direwolf: these lines of direwolf.conf; MYCALL, MODEM and the rest of each\n"
            L"# channel's settings are yours.\n"
            L"# the unit with S/N 40300: no sound card: the codec is not in order (USB Audio "
            L"ErrorCode: 3).\n"
            L"# the unit with S/N 40117: sound card 0, channel 0\n"
            L"ADEVICE0 plughw:CARD=KQ40117,DEV=0\nACHANNELS 1\n"
            L"# the unit with S/N 40262: sound card 1, channel 2\n"
            L"ADEVICE1 plughw:CARD=KQ40262,DEV=0\nACHANNELS 1\n"
            L"CHANNEL 0\nPTT /dev/kq6200/40117/ptt RTS\n"
            L"CHANNEL 2\nPTT /dev/kq6200/40262/ptt RTS\n");

  // Windows: the endpoints by the part of their names Windows gives
  // Direwolf, quoted; a fourth card is more than Direwolf takes.
  const ProgramUnit unit = windowsUnit(L"COM9", L"COM10", L"USB Audio CODEC with a long name");
  const std::wstring windows =
      ProgramSettings(Program::kDirewolf, {unit, unit, unit, unit}, kUnitKeyingLines, kWindows);
  EXPECT_TRUE(lacking(windows, {L"ADEVICE0 \"Microphone (USB Audio CODEC wit\" \"Speakers (USB "
                                L"Audio CODEC with \"\nACHANNELS 1\n",
                                L"Direwolf takes at most three sound cards.",
                                L"CHANNEL 4\nPTT COM10 RTS\n"})
                  .empty())
      << windows;
  EXPECT_EQ(windows.find(L"ADEVICE3"), std::wstring::npos) << windows;
}

TEST(ProgramSettings, FldigiAndFlrigKeyCwOnThePttPortsOtherLine) {
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
        L"<FSK_PORT>/dev/kq6200/40117/fsk</FSK_PORT>\n",
        L"\n; WK_serial_port_name: none: its WinKey Port is not in order (MCU ErrorCode: 4).\n"})
                  .empty())
      << fldigi;
  EXPECT_EQ(fldigi.find(L"FSK_ON_DTR>"), std::wstring::npos) << "the FSK port's line is the unit's";

  const std::wstring flrig = ProgramSettings(Program::kFlrig, {unit, linuxUnit(L"40262")},
                                             kUnitKeyingLines, kLinux);
  EXPECT_TRUE(lacking(flrig,
                      {L"\nsep_serial_port:/dev/kq6200/40117/ptt\nsep_rtsptt:1\nsep_dtrptt:0\n"
        L"cwioSHARED:3\ncwioKEYLINE:2\nFSK_PORT:/dev/kq6200/40117/fsk\n",
        L"flrig for a second radio runs with --config-dir",
        L"xcvr_serial_port:/dev/kq6200/40262/cat\n"})
                  .empty())
      << flrig;
  EXPECT_EQ(flrig.find(L"\nFSK_KEYLINE:"), std::wstring::npos) << "no value: " << flrig;
  EXPECT_NE(ProgramSettings(Program::kFlrig, {windowsUnit(L"COM9", L"COM10", L"x")},
                            kUnitKeyingLines, kWindows)
                .find(L"%USERPROFILE%\\flrig.files\\<radio>.prefs"),
            std::wstring::npos);
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
