// What kqports prints: the report as aligned text or as a JSON document
// (format 1, docs/kqports.md), with its time, and what its exit code is.
// No Windows API, so the host tests check it.
#pragma once

#include <map>
#include <optional>
#include <vector>
#include <string>
#include <string_view>

#include "console/options.h"
#include "units/report.h"
#include "units/unit_list.h"

namespace kq {

inline constexpr int kJsonFormat = 1;

// A moment in local time and how far local time is ahead of UTC.
struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
  int utcOffsetMinutes = 0;
};

// ISO 8601 with the offset: "2025-03-09T14:03:07+01:00".
std::wstring FormatLocalTime(const LocalTime& time);

// The report as a person reads it: one line per report line, each ending in
// LF, the TAB of a port or audio line replaced by spaces so that all values
// start in one column.
std::wstring ReportText(const ReportList& report);

enum class JsonLayout { kIndented, kOneLine };

// The report with each ID replaced by the device's own ID; each port line
// followed in parentheses by its link of the packaged rules
// (/dev/kq6200/<serial>/<role>, shown only on that unit's line of that role)
// and its link by ID; each audio line's ALSA name "hw:..." followed by
// " or plughw:...", the name for programs that want the device to resample.
ReportList WithDeviceNames(const ReportList& report, const ReportNames& names,
                           const UnitList& units);

// The report with, after each port line whose use is known, one line more
// indented for each thing to act on: the processes that have it open, why
// the user may not open it, and ModemManager running while the port is not
// marked for it to leave alone. Apply before WithDeviceNames.
ReportList WithPortUses(const ReportList& report, const ReportNames& names);

// When no unit was found, the lines that say which of the unit's USB
// functions are present and where (`names` gives Linux's place of each),
// or that none is; indented as the explanations are.
ReportList SeenLines(const std::vector<SeenFunction>& seen, const ReportNames* names);

// The report followed by SeenLines when no unit was found: what --watch
// compares, so that a function arriving or going while no unit is attached
// is reported too.
ReportList WithSeenLines(const ReportList& report, const UnitList& units,
                         const std::vector<SeenFunction>& seen, const ReportNames* names);

// The JSON document of one enumeration: its units with their status codes
// and the device of each role, and the report's [line, ID] pairs.
// With `names`, the report pairs are those of WithDeviceNames, each role's
// `id` is the device's own ID, and a port has its `link`, an audio endpoint
// its `alsa` name and `description` (null when absent).
// Each unit also has "problems": for each walk that stopped short, its code
// with what it means and what to do about it on `system`. A port whose use
// `names` knows has "access", "holders", "uninspected" and "modemManager".
// "seen" lists `seen`, the unit's functions present when no unit was found.
std::wstring ReportJson(const UnitList& units, const ReportList& report, bool splitAudio,
                        std::wstring_view time, JsonLayout layout,
                        const ReportNames* names = nullptr,
                        HelpSystem system = HelpSystem::kWindows,
                        const std::vector<SeenFunction>* seen = nullptr);

// The report with, after each error line, one line more indented that says
// what the code means and what to do about it on `system`.
ReportList WithExplanations(const ReportList& report, HelpSystem system);

// Everything printed for one report in the mode the options ask for: the
// text alone, or with --watch a line with the time before it and an empty
// line after it; a JSON document, on one line with --watch. Ends in LF.
// With `seen`, the not-found report says what was seen.
std::wstring ConsoleOutput(const ConsoleOptions& options, const UnitList& units,
                           const ReportList& report, bool splitAudio, std::wstring_view time,
                           const ReportNames* names = nullptr,
                           const std::vector<SeenFunction>* seen = nullptr);

// What --role prints for a role of the unit ("cat" ... "audioOut"): the port
// name (the COM port; on Linux the name that outlasts a replug: the packaged
// rules' /dev/kq6200/<serial>/<role> where udev made it, else the port's
// /dev/serial/by-id/ link, else its device node, which `kernelNode` asks
// for), or the audio device's name (its ALSA name by card id on Linux);
// nothing when the component is not in order or the device has no name.
std::optional<std::wstring> RoleName(const DeviceUnit& unit, std::wstring_view role,
                                     const ReportNames* names = nullptr, bool kernelNode = false);

// What --role prints on standard output and standard error, and the exit
// code: the name of the one unit's role and 0; 1 when no unit (or not the
// one of --serial) is attached or the role is not in order; 2 when more than
// one unit is attached and --serial names none.
struct RoleAnswer {
  std::wstring out;
  std::wstring err;
  int exitCode = kExitOk;
};
RoleAnswer AnswerRole(const UnitList& units, const ConsoleOptions& options,
                      const ReportNames* names = nullptr);

// Leaves in the list only the unit with this serial, if any (--serial).
void KeepSerial(UnitList& units, std::wstring_view serial);

// 0 when the enumeration found at least one unit, whatever its state.
int ExitCodeFor(const UnitList& units);

// What --watch remembers between two checks.
struct ReportWatch {
  std::optional<ReportList> last;
  std::map<std::wstring, PortUse> printedUses;  // the ports' use in the report printed last
  std::map<std::wstring, PortUse> checkedUses;  // ... at the check before this one
  int unsettled = 0;  // checks in a row whose uses differ from those printed
};

// Checks of a use that keeps changing before it is printed all the same.
inline constexpr int kMostUnsettledChecks = 3;

// Whether `report` is to be printed: the first one, and each that differs
// from the one printed before in any line or ID; and when only the ports'
// use in `names` changed, once it has stayed the same for one check (or
// changed for kMostUnsettledChecks checks), so that a burst of changes, a
// program opening and closing ports, is one report. Remembers it.
bool ReportChanged(ReportWatch& watch, const ReportList& report,
                   const ReportNames* names = nullptr);

// Each LF as CR LF, as Windows programs expect of text.
std::wstring WithCrLf(std::wstring_view text);

}  // namespace kq
