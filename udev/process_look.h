// A look at every process's open files that nothing can hang. The look runs
// in a child process of its own, which sends each process as it reads it;
// this process waits for them with a bound in time and an ear for Ctrl+C.
// Should a call in the child wait for ever all the same (a file system that
// stopped answering, in a sleep no signal ends), the child is left to it:
// this process goes on, and ends when asked to.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "udev/port_use.h"

namespace kq::udev {

struct LookLimits {
  size_t mostFiles = kMostFilesPerProcess;  // open files read of one process
  // The child stops reading at this time after its start; the processes it
  // did not reach are counted as not looked at (kOutOfTime).
  std::chrono::milliseconds budget{2000};
  // A child that sends nothing for this long is given up: killed, and the
  // processes it has not sent counted as not looked at.
  std::chrono::milliseconds stall{1000};
};

// A child given up on that has not ended yet. While it lives, no other look
// starts: a file system that hangs one look would hang the next one too.
struct Looker {
  pid_t stuck = -1;
};

struct Look {
  ProcessTable table;
  bool stopped = false;  // `stopFd` became readable: the look was abandoned
  // The processor time the child took, when it ended of itself.
  std::chrono::microseconds childTime{0};
};

// Every process under `procRoot` but this one and the child, by pid, each
// process with at most `limits.mostFiles` open files. Returns at once,
// `stopped`, when `stopFd` (if not negative) becomes readable, and reads
// nothing from it.
Look LookAtProcesses(Looker& looker, const std::string& procRoot, int stopFd,
                     const LookLimits& limits = {});

}  // namespace kq::udev
