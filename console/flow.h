// kqports from its arguments to its exit code, the same on every system: bad
// usage, help and version, a system's own command, --watch, one report and
// the --role and --for answers. What differs between systems comes in as
// values (ConsoleEdges), which each entry point fills. No system API, so the
// host tests drive it through edges of their own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/options.h"
#include "console/render.h"

namespace kq {

// How a text went to standard output: whole, to a pipe whose reader has
// closed it, cut short by a stop (Ctrl+C, SIGTERM) under --watch while the
// output took nothing, or stopped by anything else (a full disk, a closed
// handle).
enum class Written { kWhole, kReaderGone, kStopped, kFailed };

struct WriteOutcome {
  Written written = Written::kWhole;
  // What the system said of a failure, put after "cannot write the report"
  // (Windows: " (error 112)"); may be empty.
  std::wstring detail;
};

// Whether a check ran to its end or was stopped (Ctrl+C, a signal) during
// a look that can be stopped.
enum class Checked { kDone, kStopped };

// How the wait between two checks of --watch ended: stopped, the devices
// changed (a system that cannot tell says so after each period), or the
// period passed without a change.
enum class Waited { kStopped, kChanged, kTimedOut };

// One system's edges of kqports. Every member but systemCommand and
// endWatch must be set.
struct ConsoleEdges {
  ConsolePlatform platform = ConsolePlatform::kWindows;

  // The text to standard output, with one write where the system allows, so
  // that a reader of a pipe never sees half a report.
  std::function<WriteOutcome(std::wstring_view text)> writeOut;
  std::function<void(std::wstring_view text)> writeErr;
  std::function<LocalTime()> now;
  std::function<std::wstring()> versionText;

  // The report as it is now, in `report`. With `devicesChanged` false the
  // devices read last still hold (`report` is the one made of them), and
  // a system that reads its devices only after an event keeps them. With
  // `uses`, also who holds the units' ports, which --role and --for do not
  // need. No report when the devices could not be read (said on standard
  // error by the check itself). kStopped only under --watch.
  std::function<Checked(const ConsoleOptions& options, bool devicesChanged, bool uses,
                        std::optional<ConsoleReport>& report)>
      check;

  // --watch: before the first check, what stands in the way of a watch
  // (empty: nothing), and the wait after each check.
  std::function<std::wstring()> startWatch;
  std::function<Waited()> wait;
  // Optional: called once when a started watch ends, however it ends.
  std::function<void()> endWatch;

  // Optional: the text of a command of this system alone that the options
  // ask for (Linux: --udev-rules), printed instead of any report.
  std::function<std::optional<std::wstring>(const ConsoleOptions& options)> systemCommand;
};

// Runs kqports on the arguments after the program's name; returns its exit
// code (options.h).
int RunConsole(const std::vector<std::wstring>& arguments, const ConsoleEdges& edges);

}  // namespace kq
