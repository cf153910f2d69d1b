// udev's events about USB, tty and sound devices, for --watch.
#pragma once

#include <poll.h>

#include <vector>

#include "base/unique_handle.h"

struct udev;
struct udev_monitor;

namespace kq::udev {

struct ContextTraits {
  using pointer = struct ::udev*;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer context) noexcept;
};
struct MonitorTraits {
  using pointer = ::udev_monitor*;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer monitor) noexcept;
};

struct DeviceMonitor {
  UniqueHandle<ContextTraits> context;
  UniqueHandle<MonitorTraits> monitor;
  int fd = -1;
};

// Listens for udev's events from now on. False when udev cannot be reached.
bool OpenMonitor(DeviceMonitor& monitor);

enum class WaitOutcome { kChanged, kTimeout, kStopped };

// Waits up to `timeoutMs` (negative: without end) for an event, or until
// one of `ends` shows what it asks for, or an error or hang-up (kStopped):
// a stop pipe becoming readable, standard output whose reader has gone.
// After an event it keeps taking events until `quietMs` pass without one (at
// most `settleMs` in all), so that a unit arriving, whose devices come one
// after another, is reported once it has settled.
WaitOutcome WaitForEvents(DeviceMonitor& monitor, const std::vector<pollfd>& ends, int timeoutMs,
                          int quietMs, int settleMs);

}  // namespace kq::udev
