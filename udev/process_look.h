// A look at every process's open files that nothing can hang, fool or hold
// up. This process lists the processes and hands them out to children, one
// a processor, which read them and send each as they read it; this process
// takes what each sends about its own share alone, once a process, until
// one deadline, with an ear for Ctrl+C. Should a call in a child wait for
// ever all the same (a file system that stopped answering, in a sleep no
// signal ends), the child is left to it: this process goes on, and ends
// when asked to.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "udev/port_use.h"

namespace kq::udev {

struct LookLimits {
  size_t mostFiles = kMostFilesPerProcess;  // open files read of one process
  // The whole look ends by this time after its start: the children stop
  // reading a little before, and the processes not received by then are
  // counted as not looked at (kOutOfTime), however the children send.
  std::chrono::milliseconds budget{2000};
  // A child that sends nothing for this long is given up: killed, and the
  // processes it has not sent counted as not looked at.
  std::chrono::milliseconds stall{1000};
  // How many children read at once; 0: one a processor online, at most
  // kMostLookers, and one for a few hundred processes.
  int children = 0;
};

inline constexpr int kMostLookers = 4;

// Children given up on that have not ended yet. While one lives, no other
// look starts: a file system that hangs one look would hang the next one too.
struct Looker {
  std::vector<pid_t> stuck;
};

struct Look {
  ProcessTable table;
  bool stopped = false;  // `stopFd` became readable: the look was abandoned
  // The processor time the children took, those that ended of themselves.
  std::chrono::microseconds childTime{0};
};

// Every process under `procRoot` but this one, by pid, each with which of
// `wanted` (sorted) it holds, and with at most `limits.mostFiles` of its
// open files read. Returns at once, `stopped`, when `stopFd` (if not
// negative) becomes readable, and reads nothing from it.
Look LookAtProcesses(Looker& looker, const std::string& procRoot, const DeviceNumbers& wanted,
                     int stopFd, const LookLimits& limits = {});

// What hides processes from a look at `procRoot` ("/proc"), and whether
// this process runs as root: read from the proc file system's mount options
// (hidepid) and from the pid namespace this process runs in.
ProcessSight SightOf(const std::string& procRoot);

// How a child and this process speak, apart for its tests.
// One process's record as a child sends it: `process`, or none when it had
// gone.
std::string LookRecord(long pid, const std::optional<Process>& process);
// Takes the whole records at the front of `bytes` into `table` (but those of
// processes gone) and drops them from `bytes`, each pid from `pending`.
// False at a record that no child of this process would send: of a pid not
// pending (not of its share, or sent before), or with a state, name or
// device out of bounds; nothing more of `bytes` is taken.
bool TakeLookRecords(std::string& bytes, std::set<long>& pending, const DeviceNumbers& wanted,
                     ProcessTable& table);

// What SightOf reads, apart for its tests.
// The super options of the mount numbered `mountId` in `mountinfo` (the text
// of /proc/self/mountinfo), when it is a proc file system; empty otherwise.
std::string ProcMountOptions(std::string_view mountinfo, unsigned long long mountId);
// Whether proc's mount options hide other users' processes altogether:
// hidepid=2 or 4 (invisible, ptraceable). hidepid=1 (noaccess) shows them,
// closed, and the look counts them as not allowed.
bool OptionsHideProcesses(std::string_view options);
// How many pid namespaces the NSpid line of /proc/<pid>/status lists: 1
// when /proc is that of the process's own namespace; 1 without the line.
int PidNamespaceDepth(std::string_view status);

}  // namespace kq::udev
