// The settings the radio programs take from this tool (kqports --for), each
// in the program's own terms and, where it has one, its settings file's own
// form, with each value as the program stores it. No Windows API.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "units/keying.h"

namespace kq {

enum class Program { kWsjtx, kRigctld, kDirewolf, kFldigi, kFlrig };

struct ProgramInfo {
  Program program;
  std::wstring_view name;  // the word after --for
};

inline constexpr ProgramInfo kPrograms[] = {
    {Program::kWsjtx, L"wsjtx"},
    {Program::kRigctld, L"rigctld"},
    {Program::kDirewolf, L"direwolf"},
    {Program::kFldigi, L"fldigi"},
    {Program::kFlrig, L"flrig"},
};

// The program a word names, in any letter case; none for another word.
std::optional<Program> FindProgram(std::wstring_view word);

// "wsjtx, rigctld, direwolf, fldigi or flrig"
std::wstring ProgramWords();

// One value a unit gives the programs, or, when it gives none, why not and
// what to do, one sentence without its full stop.
struct GivenValue {
  std::wstring value;
  std::wstring missing;
};

// How many numbers units take their TCP ports from (kqports --for).
inline constexpr int kUnitNumbers = 100;

// A unit's number, from which its programs' TCP ports are counted: its own,
// made from its serial alone, so that it stays whatever other units come or
// go; or, while a unit of a serial earlier in order holds that one, the next
// free number, and `ownHeldBy` names that unit.
struct UnitNumber {
  int number = 0;
  std::wstring ownHeldBy;
};

// The number of the unit `serial` among the units `attached` (every unit
// attached, whichever were asked for; their serials of five letters or
// digits, `serial` one of them). Letter case does not count: Windows shows
// a serial in the case of its version.
UnitNumber NumberOf(const std::wstring& serial, const std::vector<std::wstring>& attached);

// What a unit gives the programs, each value as this system names it.
struct ProgramUnit {
  std::wstring serial;
  std::wstring label;  // the name the user gave the unit, or empty
  // Its ports by the names that last: on Linux the rules' link, else the
  // by-id link, else the node; on Windows COMn.
  GivenValue cat, ptt, fsk, winkey;
  // Its codec as the programs' sound interfaces name it: on Windows the
  // endpoints' names, on Linux the sound server's source and sink.
  GivenValue audioIn, audioOut;
  GivenValue alsa;  // Linux: the ALSA name that converts rates (plughw:CARD=...)
  UnitNumber number;  // its TCP ports' number (NumberOf)
};

enum class SettingsSystem { kWindows, kLinux };

// The settings of `program` for `units` (at least one), with the PTT/CW
// port's lines `lines`, as text ending in LF: for each unit a program of its
// own (its settings file, folder or instance named by its label, else its
// serial; its TCP ports counted from its number), so that a unit's settings
// are the same whichever units are asked for. A unit whose serial is not five
// letters or digits gets none: its serial would reach names and commands.
// Each line fits 80 columns but a setting or a command longer by itself.
std::wstring ProgramSettings(Program program, const std::vector<ProgramUnit>& units,
                             KeyingLines lines, SettingsSystem system);

}  // namespace kq
