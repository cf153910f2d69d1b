// The command line of kqports: what it accepts, the help and version texts
// and the exit codes. No Windows API, so the host tests check it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kq {

// Where kqports runs: Linux names devices its own way and has --udev-rules.
enum class ConsolePlatform { kWindows, kLinux };

struct ConsoleOptions {
  bool json = false;
  bool watch = false;
  bool help = false;
  bool version = false;
  bool udevRules = false;             // Linux only
  std::vector<std::wstring> serials;  // the units --udev-rules is for; empty: every unit
};

struct ParsedArguments {
  ConsoleOptions options;
  // The first argument that is no option of the program; set means bad usage.
  std::optional<std::wstring> badArgument;
};

// The arguments after the program's name, in order. Anything but an option
// is bad usage, except on Linux the serials after --udev-rules, which must
// each be five letters or digits.
ParsedArguments ParseArguments(const std::vector<std::wstring>& arguments,
                               ConsolePlatform platform);

// The one line for standard error that names the argument not understood.
std::wstring UsageErrorText(std::wstring_view badArgument);

std::wstring HelpText(ConsolePlatform platform);
std::wstring VersionText();

// 0: a unit was found, or help, version, or a watch that was ended.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoUnit = 1;
inline constexpr int kExitBadUsage = 2;

}  // namespace kq
