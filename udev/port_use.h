// Who may open each port of the units and who has it open, found without
// opening any port: opening a serial port raises DTR and RTS, and on this
// unit those can key the transmitter. What is read instead: the node's
// permissions against the user's groups, the links of every open file in
// /proc, and whether ModemManager runs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "udev/udev_tree.h"
#include "units/report.h"

namespace kq::udev {

// One process as /proc shows it: of its open files, the numbers of those
// that are character devices (`devices`), which also find a port that a
// process in another mount namespace (a container, a snap) opened by a path
// of its own, and the targets below /dev/ of links that cannot be followed
// (`files`), known by their text alone. `inspected` is false when its open files could not be
// read (the process is another user's, or went away while being read), or
// when it has more than the most that are read of one process: then the rest
// are not looked at.
struct Process {
  long pid = 0;
  std::string command;  // its comm, as the process set it
  std::vector<std::string> files;
  std::vector<unsigned long long> devices;
  bool inspected = true;
};
using ProcessTable = std::vector<Process>;

// The most open files read of one process: a process may hold a million,
// and reading them all took seconds.
inline constexpr size_t kMostFilesPerProcess = 4096;

// Every process under `procRoot` but this one, by pid, with at most
// `mostFiles` of each one's open files.
ProcessTable ReadProcesses(const std::string& procRoot = "/proc",
                           size_t mostFiles = kMostFilesPerProcess);

// The processes that have a file open that is the character device numbered
// one of `devices` (the numbers of the port's node and of where it leads),
// or whose link that cannot be followed is one of `paths`.
std::vector<PortHolder> HoldersOf(const ProcessTable& table, const std::vector<std::string>& paths,
                                  const std::vector<unsigned long long>& devices = {});

int UninspectedCount(const ProcessTable& table);

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
PortUse UseOf(const Device& tty, const ProcessTable& table);

// The ports a report names: the instance ID of each port line, and the
// index of its tty in `devices`.
using ReportedPorts = std::vector<std::pair<std::wstring, size_t>>;
ReportedPorts PortsOf(const Report& report, const ReportNames& names, const Devices& devices);

// Sets `use` of each of `ports` in `names`.
void AddPortUses(ReportNames& names, const ReportedPorts& ports, const Devices& devices,
                 const ProcessTable& table);

}  // namespace kq::udev
