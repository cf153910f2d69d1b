// Rendering of units into display lines paired with instance IDs.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "units/device_unit.h"
#include "units/roles.h"
#include "units/status_help.h"

namespace kq {

// What one line of a report is: the header of a unit, a role's port or
// endpoint, the one audio device of a codec without split audio, a walk that
// stopped short, the MCU's ports not looked at, or no unit at all. Each
// output formats it at its edge: the list box and the clipboard from its
// display line (DisplayLine), kqports' text, JSON and --role from its parts.
// A unit's items are its header and every item after it up to the next
// header; together they say all that any output shows of the unit.
enum class LineKind { kHeader, kRole, kAudioDevice, kError, kNoDrivers, kNotFound, kErrorEntry };

struct ReportItem {
  LineKind kind = LineKind::kNotFound;
  Role role = Role::kCat;   // kRole; kAudioDevice: kAudioOut
  Walk walk = Walk::kMcu;   // kRole, kAudioDevice, kError, kNoDrivers: the walk it comes from
  int code = 0;             // ... and that walk's status code
  std::wstring value;       // kHeader: the serial; kRole, kAudioDevice: the port or endpoint name
  std::wstring id;          // the instance ID of the device it names; empty when it names none
  // kRole, kAudioDevice: whether the node has a port or endpoint name; an
  // endpoint may lack one, and then `value` is empty.
  bool named = false;
  // kRole, kAudioDevice: whether the role names a device: its walk is
  // complete and its node was found. The JSON and --role name no other.
  bool inOrder = false;
};

using Report = std::vector<ReportItem>;

// The items of one unit in the report's order. Which roles a unit shows, and
// whether each is in order, is decided here and nowhere else.
Report reportItems(const DeviceUnit& unit);

// One unit's part of a report: its serial and the items after its header.
struct UnitItems {
  std::wstring serial;
  Report items;
};

// The units of a report, in its order.
std::vector<UnitItems> ReportUnits(const Report& report);

// The item that names a role's device in a unit; none when the unit shows
// no such role (its walk stopped short, or the maker's drivers are absent).
// Without split audio the codec's one audio device serves as input and output.
const ReportItem* RoleItem(const UnitItems& unit, Role role);

// A walk's status code in a unit, as its items carry it.
int WalkCode(const UnitItems& unit, Walk walk);

// One display line and the instance ID of the device it names (empty when it
// names none: headers, error lines, the not-found line).
struct ReportLine {
  std::wstring text;
  std::wstring id;
};

using ReportList = std::vector<ReportLine>;

// The line as the list box shows it, TAB included: "    CAT Port \t - COM9".
std::wstring DisplayLine(const ReportItem& item);
ReportList DisplayLines(const Report& report);

// The display pairs of one unit: DisplayLines of its items.
ReportList reportLines(const DeviceUnit& unit);

// The label of a role or audio-device line, up to its TAB: "    CAT Port ".
std::wstring ItemLabel(const ReportItem& item);

// Whether the line names a port (CAT, PTT/CW, FSK, WinKey).
bool IsPortLine(const ReportItem& item);

// The line a walk that stopped short shows: "    FTDI ErrorCode: 7".
std::wstring ErrorLine(Walk walk, int status);

// A process that has a port open: its ID and its command name as the
// process set it (hostile: shown through the report's one-line rule).
struct PortHolder {
  long pid = 0;
  std::wstring command;
};

// Who may open a port and who has it open, as found without opening it.
struct PortUse {
  bool mayOpen = true;
  // When the user may not open it: why not and what to do, one sentence
  // without its full stop. Its group (empty when none would grant it) and
  // whether the user is in that group now.
  std::wstring accessHelp;
  std::wstring group;
  bool inGroup = false;
  std::vector<PortHolder> holders;  // by pid
  int uninspected = 0;  // processes whose open files were not all looked at
  // Once a report: how many were not, why, and what to do; empty when none.
  std::wstring uninspectedHelp;
  // Why processes were hidden from the look, so that not even a count of
  // them exists: L"hidepid" (/proc's mount option), L"pidNamespace"; empty
  // when none was.
  std::wstring hiddenProcesses;
  bool modemManagerRunning = false;
  bool modemManagerIgnores = false;  // the port carries ID_MM_DEVICE_IGNORE=1
};

// Whether two uses differ in what a person acts on: access, holders,
// ModemManager, whether any process was not looked at, and why processes
// were hidden. How many were not is left out: other users' processes come
// and go all the time.
bool SameUse(const PortUse& a, const PortUse& b);

// What a system names a device beyond its port or endpoint name, by the
// instance ID the walk knows it by. Linux has these; Windows needs none.
struct DeviceNames {
  std::wstring id;           // the device's own ID there (its sysfs path)
  std::wstring link;         // a port's link under /dev/serial/by-id/, empty for none
  std::wstring alsa;         // an audio endpoint's ALSA name, empty for none
  std::wstring description;  // an audio endpoint's card description
  // Every link udev made to a port's node, in udev's order; the report
  // shows the packaged rules' /dev/kq6200/<serial>/<role> from among them.
  std::vector<std::wstring> allLinks;
  std::optional<PortUse> use;  // a port's, where the system can tell
  // An audio endpoint's card's name in PulseAudio and PipeWire, as a rule set
  // it (PULSE_NAME); empty when none did, and the servers name it by plug order.
  std::wstring soundServer;
};
using ReportNames = std::map<std::wstring, DeviceNames>;

inline constexpr wchar_t kNotFoundLine[] = L"Quorvanta KQ-6200 not found";

// The one line of a report without units.
ReportItem NotFoundItem();

}  // namespace kq
