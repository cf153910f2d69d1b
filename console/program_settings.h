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
};

enum class SettingsSystem { kWindows, kLinux };

// The settings of `program` for `units` (at least one), with the PTT/CW
// port's lines `lines`, as text ending in LF.
std::wstring ProgramSettings(Program program, const std::vector<ProgramUnit>& units,
                             KeyingLines lines, SettingsSystem system);

}  // namespace kq
