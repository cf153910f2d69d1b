// The command line of kqports: what it accepts, the help and version texts
// and the exit codes. No Windows API, so the host tests check it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/program_settings.h"
#include "units/keying.h"

namespace kq {

// Where kqports runs: Linux names devices its own way and has --udev-rules.
enum class ConsolePlatform { kWindows, kLinux };

// The labels a user gives units, by serial (--label SERIAL=NAME).
using UnitLabels = std::map<std::wstring, std::wstring>;

struct ConsoleOptions {
  ConsolePlatform platform = ConsolePlatform::kWindows;
  bool json = false;
  bool watch = false;
  bool help = false;
  bool version = false;
  bool udevRules = false;             // Linux only
  bool kernelNode = false;            // Linux only: --role prints the kernel's node
  std::vector<std::wstring> serials;  // the units --udev-rules is for; empty: every unit
  std::optional<std::wstring> serial;  // --serial: report this unit only, by serial or label
  UnitLabels labels;                   // --label: each unit's name, by serial
  std::optional<std::wstring> role;    // --role: print this role's name only
  std::optional<Program> program;     // --for: print the settings of this program
  KeyingLines keying = kUnitKeyingLines;  // --ptt-line: the PTT/CW port's lines
};

struct ParsedArguments {
  ConsoleOptions options;
  // The first argument that is no option of the program, or that does not
  // go with the others; set means bad usage.
  std::optional<std::wstring> badArgument;
  // What is wrong, when more is to be said than "unknown argument".
  std::wstring problem;
};

// The arguments after the program's name, in any order, each option once.
// Anything but an option is bad usage, except on Linux serials given with
// --udev-rules, which must each be five letters or digits; --serial and
// --role take the argument after them or after "=" ("--serial=40117"), a
// role in any letter case. Options that do not go together are bad usage too.
ParsedArguments ParseArguments(const std::vector<std::wstring>& arguments,
                               ConsolePlatform platform);

// What the labels of the command line (`given`) say of the units attached:
// a usage error's line when one is the serial or the label of another unit
// (`all`: every unit's label, the system's and the command line's;
// `attached`: the serials of every unit attached), letter case aside, as
// Windows' file names take it; otherwise a line for each label of a serial
// no unit attached has. Both for standard error.
struct LabelCheck {
  std::wstring refusal;
  std::wstring notes;
};
LabelCheck CheckLabels(const UnitLabels& given, const UnitLabels& all,
                       const std::vector<std::wstring>& attached);

// The one line for standard error that says what is wrong with the arguments.
std::wstring UsageErrorText(const ParsedArguments& parsed);

std::wstring HelpText(ConsolePlatform platform);
// The version, and where one is given the native machine (Windows names it,
// so that a support request shows on which processor the program runs).
std::wstring VersionText(std::wstring_view nativeMachine = {});

// 0: a unit was found, or help, version, or a watch that was ended (by
// Ctrl+C, a signal, or a reader that went away).
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoUnit = 1;
inline constexpr int kExitBadUsage = 2;
// The program could not do its work: the devices could not be read, or
// standard output could not take the output (closed, full, failing).
inline constexpr int kExitFailure = 3;

}  // namespace kq
