// What kqports prints: the report as aligned text or as a JSON document
// (format 1, docs/kqports.md), with its time, and what its exit code is.
// No Windows API, so the host tests check it.
#pragma once

#include <optional>
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

// The report with each ID replaced by the device's own ID and each port line
// followed by its stable link in parentheses.
ReportList WithDeviceNames(const ReportList& report, const ReportNames& names);

// The JSON document of one enumeration: its units with their status codes
// and the device of each role, and the report's [line, ID] pairs.
// With `names`, the report pairs are those of WithDeviceNames, each role's
// `id` is the device's own ID, and a port has its `link`, an audio endpoint
// its `alsa` name and `description` (null when absent).
// Each unit also has "problems": for each walk that stopped short, its code
// with what it means and what to do about it on `system`.
std::wstring ReportJson(const UnitList& units, const ReportList& report, bool splitAudio,
                        std::wstring_view time, JsonLayout layout,
                        const ReportNames* names = nullptr,
                        HelpSystem system = HelpSystem::kWindows);

// The report with, after each error line, one line more indented that says
// what the code means and what to do about it on `system`.
ReportList WithExplanations(const ReportList& report, HelpSystem system);

// Everything printed for one report in the mode the options ask for: the
// text alone, or with --watch a line with the time before it and an empty
// line after it; a JSON document, on one line with --watch. Ends in LF.
std::wstring ConsoleOutput(const ConsoleOptions& options, const UnitList& units,
                           const ReportList& report, bool splitAudio, std::wstring_view time,
                           const ReportNames* names = nullptr);

// What --role prints for a role of the unit ("cat" ... "audioOut"): the port
// name (the COM port, or the device node on Linux), or the audio device's
// name (its ALSA name on Linux); nothing when the component is not in order
// or the device has no name.
std::optional<std::wstring> RoleName(const DeviceUnit& unit, std::wstring_view role,
                                     const ReportNames* names = nullptr);

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
};

// Whether `report` is to be printed: the first one, and each that differs
// from the one before in any line or ID. Remembers it.
bool ReportChanged(ReportWatch& watch, const ReportList& report);

// Each LF as CR LF, as Windows programs expect of text.
std::wstring WithCrLf(std::wstring_view text);

}  // namespace kq
