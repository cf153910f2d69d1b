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

// One process as /proc shows it. `files` are the targets of its open files'
// links that lie below /dev/; none when `inspected` is false (the process
// is another user's, or went away while being read).
struct Process {
  long pid = 0;
  std::string command;  // its comm, as the process set it
  std::vector<std::string> files;
  bool inspected = true;
};
using ProcessTable = std::vector<Process>;

// Every process under `procRoot` but this one, by pid.
ProcessTable ReadProcesses(const std::string& procRoot = "/proc");

// The processes that have a file open whose link is one of `paths`.
std::vector<PortHolder> HoldersOf(const ProcessTable& table, const std::vector<std::string>& paths);

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
