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
#include "units/status_help.h"
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

// Everything kqports prints of one enumeration: the units, the report made
// of them, and on Linux the system's own names of their devices.
struct ConsoleReport {
  UnitList units;
  Report report;
  bool splitAudio = false;
  // Which of a unit's USB functions are present, looked for when no unit was.
  std::optional<std::vector<SeenFunction>> seen;
  // What the system names each device beyond its port or endpoint name (Linux).
  std::optional<ReportNames> names;
  // The units' labels, by serial: the system's (Linux: the rules'), and over
  // them those of the command line.
  UnitLabels labels;
  // With --serial naming none of them, the serials of the units attached.
  std::vector<std::wstring> others;
  // The serials of every unit attached, whichever --serial kept.
  std::vector<std::wstring> attached{};
};

// One enumeration as kqports makes it: every unit, or with --serial the one
// unit of that serial; when none is found, what was seen of its functions.
// `systemLabels` are the labels the system gives units (Linux: udev's).
ConsoleReport EnumerateForConsole(bool splitAudio, const ConsoleOptions& options,
                                  const UnitLabels& systemLabels = {});

// A unit's label in the report, or empty.
std::wstring LabelOf(const ConsoleReport& report, const std::wstring& serial);

// The report as a person reads it: one line per report line, each ending in
// LF, the values of the port and audio lines starting in one column.
std::wstring ReportText(const Report& report);

// Lines without values to line up, each ending in LF.
std::wstring LinesText(const ReportList& lines);

// What kqports prints as text: the report, with the system's names after
// each port and audio value (each port's link of the packaged rules,
// /dev/kq6200/<serial>/<role>, when udev made it, and its link by ID; an
// audio endpoint's ALSA name followed by " or plughw:...", the name for
// programs that want the device to resample); under each port whose use is
// known, one line more indented for each thing to act on (the processes that
// have it open, why the user may not open it, and ModemManager running while
// the port is not marked for it to leave alone); under each error line what
// the code means and what to do about it on `system`; and when no unit was
// found, the lines of what was seen.
std::wstring ConsoleText(const ConsoleReport& report, HelpSystem system);

// The report's pairs as the JSON carries them: each display line with the
// system's names after its value, and each ID replaced by the device's own
// ID there.
ReportList NamedLines(const ConsoleReport& report);

// When no unit was found, the lines that say which of the unit's USB
// functions are present and where (`names` gives Linux's place of each),
// or that none is; indented as the explanations are.
ReportList SeenLines(const std::vector<SeenFunction>& seen, const ReportNames* names);

// What --watch compares: the report's display lines followed by the lines of
// what was seen, so that a function arriving or going while no unit is
// attached is reported too.
ReportList WatchedLines(const ConsoleReport& report);

enum class JsonLayout { kIndented, kOneLine };

// The JSON document of one enumeration: its units with their status codes
// and the device of each role, and the report's [line, ID] pairs.
// With the system's names, the report pairs are NamedLines, each role's
// `id` is the device's own ID, and a port has its `link`, an audio endpoint
// its `alsa` name and `description` (null when absent).
// Each unit also has "problems": for each walk that stopped short, its code
// with what it means and what to do about it on `system`. A port whose use
// the names know has "access", "holders", "uninspected", "hiddenProcesses"
// and "modemManager".
// "seen" lists what was seen, when it was looked for.
std::wstring ReportJson(const ConsoleReport& report, std::wstring_view time, JsonLayout layout,
                        HelpSystem system = HelpSystem::kWindows);

// Everything printed for one report in the mode the options ask for: the
// text alone, or with --watch a line with the time before it and an empty
// line after it; a JSON document, on one line with --watch. Ends in LF.
std::wstring ConsoleOutput(const ConsoleOptions& options, const ConsoleReport& report,
                           std::wstring_view time);

// What --role prints on standard output and standard error, and the exit
// code: the name of the one unit's role (the port name, on Linux the name
// that lasts: the rules' link, else the by-id link, else the device node, or
// with --node the node; the audio device's name, its ALSA name on Linux) and 0; 1 when no
// unit (or not the one of --serial) is attached or the role is not in order;
// 2 when more than one unit is attached and --serial names none.
struct RoleAnswer {
  std::wstring out;
  std::wstring err;
  int exitCode = kExitOk;
};
RoleAnswer AnswerRole(const ConsoleReport& report, const ConsoleOptions& options);

// The profile PulseAudio and PipeWire choose for the codec, whose input and
// output are stereo, and which ends its sources' and sinks' names.
inline constexpr wchar_t kCodecProfile[] = L"analog-stereo";

// The name PulseAudio and PipeWire give an audio role's source or sink, as
// the rules named its card ("alsa_input.kq6200-40117.analog-stereo"); empty
// when no rule did and the servers name it by plug order.
std::wstring SoundServerName(const DeviceNames& names, Role role);

// What --role and --for answer when no unit (or not the one of --serial) is attached.
RoleAnswer NoUnitAnswer(const ConsoleReport& report, const ConsoleOptions& options);

// What --role prints for a role of the unit: its port name (where the
// system has them, the name that outlasts a replug: the packaged rules'
// /dev/kq6200/<serial>/<role> where udev made it, else the port's
// /dev/serial/by-id/ link, else its device node, which `kernelNode` asks
// for), or its audio device's name (its ALSA name by card id where the
// system has one); nothing when the role is not in order or has no name.
std::optional<std::wstring> RoleName(const UnitItems& unit, Role role, const ReportNames* names,
                                     bool kernelNode, std::wstring_view label = {});

// Leaves in the list only the unit with this serial, if any (--serial).
void KeepSerial(UnitList& units, std::wstring_view serial, const UnitLabels& labels = {});

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
