// Who may open each port of the units and who has it open, found without
// opening any port: opening a serial port raises DTR and RTS, and on this
// unit those can key the transmitter. What is read instead: the node's
// permissions against the user's groups, the type and device number of every
// open file in /proc, and whether ModemManager runs.
#pragma once

#include <dirent.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "udev/udev_tree.h"
#include "units/report.h"

namespace kq::udev {

// Why the open files of a process were not all read.
enum class Unread {
  kNone,        // every one was read
  kNotAllowed,  // this user may not look at them (another user's, or the system says no)
  kTooMany,     // it has more than the most that are read of one process
  kOutOfTime,   // the look's time ran out before them
};

// The numbers of character devices (a port's node, a PCM device), sorted.
using DeviceNumbers = std::vector<unsigned long long>;

// One process as /proc shows it: which of the devices looked for it holds
// open, found by their numbers, which find a port whatever path the process
// opened it by, in whatever mount namespace (a container, a snap). When
// `unread` says why not all its files were read, the rest are not looked at.
struct Process {
  long pid = 0;
  std::string command;  // its comm, as the process set it
  DeviceNumbers devices;
  Unread unread = Unread::kNone;
};
using ProcessTable = std::vector<Process>;

// The most open files read of one process: a process may hold a million,
// and reading them all took seconds.
inline constexpr size_t kMostFilesPerProcess = 4096;

// The pids in the /proc folder `proc`, but this process's, in order.
std::vector<long> ProcessIds(DIR* proc);

// Process `pid` of the /proc folder open as `procFd`: its comm, and which of
// `wanted` it holds, with at most `mostFiles` of its open files read, until
// `deadline` (one reached at or after it is not read: kOutOfTime). A file
// opened with O_PATH holds nothing: it reads, writes and sets no line, and
// any user may open one on a node it may not open. Nothing when the process
// has gone.
std::optional<Process> ReadProcess(int procFd, long pid, const DeviceNumbers& wanted,
                                   size_t mostFiles,
                                   std::chrono::steady_clock::time_point deadline);

// Every process under `procRoot` but this one, by pid, read in this
// process: for a look that nothing may hang, LookAtProcesses
// (udev/process_look.h).
ProcessTable ReadProcesses(const std::string& procRoot, const DeviceNumbers& wanted,
                           size_t mostFiles = kMostFilesPerProcess,
                           std::chrono::steady_clock::time_point deadline =
                               std::chrono::steady_clock::time_point::max());

// The numbers of the character devices at a port's node and where it
// leads, read without opening them.
DeviceNumbers NodeDevices(const std::string& node);

// The processes that have a file open that is the character device numbered
// one of `devices` (the numbers of the port's node and of where it leads).
std::vector<PortHolder> HoldersOf(const ProcessTable& table, const DeviceNumbers& devices);

// How many processes were not looked at for `why`; kNone: for any reason.
int UninspectedCount(const ProcessTable& table, Unread why = Unread::kNone);

// Processes that /proc does not show this process at all, so that no count
// of them exists.
enum class Hidden {
  kNone,
  kByMount,      // /proc is mounted with hidepid=2 (invisible): other users' are hidden
  kByNamespace,  // kqports runs in a pid namespace of its own: the processes outside it
};

// What the look could see: which processes /proc hides, and whether it ran
// as root (whom only the system itself refuses).
struct ProcessSight {
  Hidden hidden = Hidden::kNone;
  bool root = false;
};

// The sentence that says how many processes were not looked at, why, and
// what to do, and which ones were hidden; empty when every one was seen and
// looked at.
std::wstring UninspectedHelp(const ProcessTable& table, const ProcessSight& sight = {});

// The word for the JSON member "hiddenProcesses": "hidepid", "pidNamespace",
// or empty for none hidden.
std::wstring HiddenWord(Hidden hidden);

// Whether a process named ModemManager is running.
bool ModemManagerRuns(const ProcessTable& table);

// What the system says about a port's node for this user, gathered at the
// edge, from which AccessHelp makes its sentence.
struct NodeAccess {
  bool mayOpen = true;         // access(2) for reading and writing
  unsigned mode = 0;           // the node's permission bits
  std::string owner;           // the node owner's name, or its number
  std::string group;           // the node group's name, or its number
  bool userOwnsIt = false;
  bool inGroupNow = false;     // the group is among this process's groups
  bool inGroupListed = false;  // the group database lists the user in it
  bool uaccess = false;        // udev tagged the port "uaccess"
  bool rulesInstalled = false;  // the packaged rules file is in place
};

// For a node the user may not open: why not and what to do about it, one
// sentence without its full stop; empty when the user may open it.
std::wstring AccessHelp(const NodeAccess& access);

// The use of the port whose tty is `tty` (its node, its links, its udev
// properties), from `table` and what the system says about its node now.
PortUse UseOf(const Device& tty, const ProcessTable& table, const ProcessSight& sight = {});

// The ports a report names: the instance ID of each port line, and the
// index of its tty in `devices`.
using ReportedPorts = std::vector<std::pair<std::wstring, size_t>>;
ReportedPorts PortsOf(const Report& report, const ReportNames& names, const Devices& devices);

// The audio endpoints a report names: the instance ID of each audio line,
// and the index in `devices` of the PCM device node it is.
ReportedPorts EndpointsOf(const Report& report, const ReportNames& names, const Devices& devices);

// Sets `use` of each of `endpoints` in `names`: who holds its PCM device
// (a sound server, Direwolf), nothing about access.
void AddEndpointHolders(ReportNames& names, const ReportedPorts& endpoints, const Devices& devices,
                        const ProcessTable& table, const ProcessSight& sight = {});

// Sets `use` of each of `ports` in `names`.
void AddPortUses(ReportNames& names, const ReportedPorts& ports, const Devices& devices,
                 const ProcessTable& table, const ProcessSight& sight = {});

// The numbers of the devices of `ports` and `endpoints`, for a look at who
// holds them.
DeviceNumbers DevicesOf(const ReportedPorts& ports, const ReportedPorts& endpoints,
                        const Devices& devices);

}  // namespace kq::udev
