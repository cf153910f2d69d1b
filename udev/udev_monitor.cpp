#include "udev/udev_monitor.h"

#include <libudev.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

namespace kq::udev {

void ContextTraits::close(pointer context) noexcept { udev_unref(context); }
void MonitorTraits::close(pointer monitor) noexcept { udev_monitor_unref(monitor); }

bool OpenMonitor(DeviceMonitor& monitor) {
  monitor.context.reset(udev_new());
  if (!monitor.context) return false;
  monitor.monitor.reset(udev_monitor_new_from_netlink(monitor.context.get(), "udev"));
  if (!monitor.monitor) return false;
  for (const char* subsystem : {"usb", "tty", "sound"})
    udev_monitor_filter_add_match_subsystem_devtype(monitor.monitor.get(), subsystem, nullptr);
  if (udev_monitor_enable_receiving(monitor.monitor.get()) < 0) return false;
  monitor.fd = udev_monitor_get_fd(monitor.monitor.get());
  return monitor.fd >= 0;
}

namespace {

// Takes every event waiting; true when there was one.
bool drain(DeviceMonitor& monitor) {
  bool any = false;
  while (udev_device* device = udev_monitor_receive_device(monitor.monitor.get())) {
    udev_device_unref(device);
    any = true;
  }
  return any;
}

enum class Ready { kEvent, kStop, kNothing };

Ready waitOnce(const DeviceMonitor& monitor, const std::vector<pollfd>& ends, int timeoutMs) {
  std::vector<pollfd> fds{{monitor.fd, POLLIN, 0}};
  fds.insert(fds.end(), ends.begin(), ends.end());
  const int ready = poll(fds.data(), fds.size(), timeoutMs);
  if (ready <= 0) return Ready::kNothing;
  if (std::any_of(fds.begin() + 1, fds.end(), [](const pollfd& end) { return end.revents != 0; }))
    return Ready::kStop;
  return fds[0].revents ? Ready::kEvent : Ready::kNothing;
}

}  // namespace

WaitOutcome WaitForEvents(DeviceMonitor& monitor, const std::vector<pollfd>& ends, int timeoutMs,
                          int quietMs, int settleMs) {
  using Clock = std::chrono::steady_clock;
  const auto msSince = [](Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  };
  const Clock::time_point start = Clock::now();
  for (;;) {
    const int left = timeoutMs < 0 ? -1 : timeoutMs - msSince(start);
    if (timeoutMs >= 0 && left <= 0) return WaitOutcome::kTimeout;
    const Ready ready = waitOnce(monitor, ends, left);
    if (ready == Ready::kStop) return WaitOutcome::kStopped;
    if (ready == Ready::kEvent && drain(monitor)) break;
  }
  const Clock::time_point first = Clock::now();
  for (;;) {
    const int left = std::min(quietMs, settleMs - msSince(first));
    if (left <= 0) return WaitOutcome::kChanged;
    const Ready ready = waitOnce(monitor, ends, left);
    if (ready == Ready::kStop) return WaitOutcome::kStopped;
    if (ready == Ready::kNothing) return WaitOutcome::kChanged;
    drain(monitor);
  }
}

}  // namespace kq::udev
