// The command line of kqports: what it accepts, the help and version texts
// and the exit codes. No Windows API, so the host tests check it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kq {

struct ConsoleOptions {
  bool json = false;
  bool watch = false;
  bool help = false;
  bool version = false;
};

struct ParsedArguments {
  ConsoleOptions options;
  // The first argument that is no option of the program; set means bad usage.
  std::optional<std::wstring> badArgument;
};

// The arguments after the program's name, in order.
ParsedArguments ParseArguments(const std::vector<std::wstring>& arguments);

// The one line for standard error that names the argument not understood.
std::wstring UsageErrorText(std::wstring_view badArgument);

std::wstring HelpText();
std::wstring VersionText();

// 0: a unit was found, or help, version, or a watch that was ended.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoUnit = 1;
inline constexpr int kExitBadUsage = 2;

}  // namespace kq
