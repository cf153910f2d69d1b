// kqports on Linux: the same report from udev's device database, the udev
// rules for stable names, and --watch following udev's events. What it prints
// and when is the portable part (flow, options, render); here are only the
// Linux edges: arguments, standard output, the clock, signals, udev and /proc.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "console/flow.h"
#include "res/version.h"
#include "udev/port_use.h"
#include "udev/process_look.h"
#include "udev/udev_monitor.h"
#include "udev/udev_rules.h"
#include "udev/udev_tree.h"
#include "units/unit_list.h"

namespace kq {
namespace {

// With --watch and udev's events, a check after each burst of events and
// none in between, so that a watch costs nothing while nothing changes;
// without events (no netlink socket, say), a check once a second, as the
// window refreshes.
constexpr int kWatchPeriodMs = 1000;
constexpr int kQuietMs = 250;
constexpr int kSettleMs = 2000;
// A watch looks at the ports' holders once a second, or, where one look
// takes more than a hundredth of that of the processor (thousands of
// processes with many open files), a hundred looks' processor time after
// the last one: the watch then keeps to about 1 % of a core whatever the
// machine runs. Processor time, not time passed: a machine busy with other
// work makes a look take longer without it costing more.
constexpr int kLookTimeShare = 100;

// Set by SIGINT and SIGTERM under --watch.
volatile sig_atomic_t stopAsked = 0;

// One write call where the system allows, so a reader of a pipe never sees
// half a report. kReaderGone: a pipe whose reader has closed it; kStopped:
// SIGINT or SIGTERM came before all was written, which a reader that takes
// nothing (a full pipe, a terminal stopped by Ctrl+S) would otherwise keep
// waiting for ever; kFailed: anything else that stops the text (a full
// disk, a closed descriptor).
Written WriteText(int fd, std::wstring_view text) {
  const std::string bytes = encodeUtf8(text);
  for (size_t done = 0; done < bytes.size();) {
    if (stopAsked) return Written::kStopped;
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EPIPE) return Written::kReaderGone;
    if (written <= 0) return Written::kFailed;
    done += static_cast<size_t>(written);
  }
  return Written::kWhole;
}

// The processor time this thread has taken so far.
std::chrono::nanoseconds ThreadTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

LocalTime Now() {
  const time_t now = time(nullptr);
  tm fields{};
  localtime_r(&now, &fields);
  LocalTime time;
  time.year = fields.tm_year + 1900;
  time.month = fields.tm_mon + 1;
  time.day = fields.tm_mday;
  time.hour = fields.tm_hour;
  time.minute = fields.tm_min;
  time.second = fields.tm_sec;
  time.utcOffsetMinutes = static_cast<int>(fields.tm_gmtoff / 60);
  return time;
}

// /proc is read at most once a second, and less often where a read takes
// long: a watch keeps the table it read last, and the devices it looked for.
struct Processes {
  udev::Looker looker;
  udev::ProcessTable table;
  udev::DeviceNumbers wanted;
  udev::ProcessSight sight;
  std::optional<std::chrono::steady_clock::time_point> readAt;
  std::chrono::steady_clock::duration period = std::chrono::seconds(1);
};

// What the edges keep between two checks: udev's devices as read last and
// the units' ports and endpoints among them, what /proc showed, the watch's
// stop pipe and udev's monitor.
struct LinuxState {
  udev::Devices devices;
  udev::ReportedPorts ports;      // the units' ports
  udev::ReportedPorts endpoints;  // the units' audio endpoints
  Processes processes;
  int stopFd = -1;  // readable once the watch is to stop; -1 outside a watch
  udev::DeviceMonitor monitor;
  bool events = false;  // udev's events reach the monitor
};

// Reads udev's devices and makes the report of them. No report when udev
// could not be read (said on standard error).
void ReadDevices(LinuxState& state, const ConsoleOptions& options,
                 std::optional<ConsoleReport>& report) {
  report.reset();
  state.devices = {};
  state.ports.clear();
  state.endpoints.clear();
  ReportNames names;
  if (!udev::LoadUdevTree(&names, &state.devices)) {
    WriteText(STDERR_FILENO, L"kqports: cannot read udev's device database\n");
    return;
  }
  // Linux has an ALSA device of each direction: the split layout. The
  // drivers are the kernel's.
  report = EnumerateForConsole(true, options, udev::UnitLabelsOf(state.devices));
  report->names = std::move(names);
  state.ports = udev::PortsOf(report->report, *report->names, state.devices);
  state.endpoints = udev::EndpointsOf(report->report, *report->names, state.devices);
}

// Who may open each of the units' ports and who has it open; no /proc read
// when the units have no port. kStopped when the stop pipe became readable
// during the look: the report is not worth finishing.
Checked AddUses(LinuxState& state, ConsoleReport& report) {
  if (state.ports.empty() && state.endpoints.empty()) return Checked::kDone;
  Processes& processes = state.processes;
  const auto at = std::chrono::steady_clock::now();
  udev::DeviceNumbers wanted = udev::DevicesOf(state.ports, state.endpoints, state.devices);
  // Devices not looked for last time (a unit plugged in) are looked for at
  // once, though never twice within a second.
  const bool newDevices = !std::includes(processes.wanted.begin(), processes.wanted.end(),
                                         wanted.begin(), wanted.end());
  if (!processes.readAt || at - *processes.readAt >= processes.period ||
      (newDevices && at - *processes.readAt >= std::chrono::seconds(1))) {
    const std::chrono::nanoseconds started = ThreadTime();
    udev::Look look = udev::LookAtProcesses(processes.looker, "/proc", wanted, state.stopFd);
    if (look.stopped) return Checked::kStopped;
    processes.table = std::move(look.table);
    processes.wanted = std::move(wanted);
    processes.sight = udev::SightOf("/proc");
    processes.readAt = at;
    // The look's processor time: the children's reading and this thread's
    // forks and reading of what the children sent.
    processes.period = std::max<std::chrono::steady_clock::duration>(
        std::chrono::seconds(1), (ThreadTime() - started + look.childTime) * kLookTimeShare);
  }
  udev::AddPortUses(*report.names, state.ports, state.devices, processes.table, processes.sight);
  udev::AddEndpointHolders(*report.names, state.endpoints, state.devices, processes.table,
                           processes.sight);
  return Checked::kDone;
}

// udev is read again only after its events said a change (or where none
// come, at each check); the ports' use is looked at each time.
Checked Check(LinuxState& state, const ConsoleOptions& options, bool devicesChanged, bool uses,
              std::optional<ConsoleReport>& report) {
  if (devicesChanged) ReadDevices(state, options, report);
  if (!report || !uses) return Checked::kDone;
  return AddUses(state, *report);
}

// Written to by SIGINT and SIGTERM; --watch waits on its other end.
int stopPipe[2] = {-1, -1};
// Armed by SIGINT and SIGTERM: SIGALRM every tenth of a second from then on,
// so that a write that began blocking just after it looked at stopAsked is
// interrupted all the same and looks again.
timer_t stopTimer{};
bool haveStopTimer = false;

void OnStopSignal(int) {
  const int saved = errno;
  stopAsked = 1;
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = write(stopPipe[1], &byte, 1);
  if (haveStopTimer) {
    itimerspec every{};
    every.it_value.tv_nsec = every.it_interval.tv_nsec = 100'000'000;
    timer_settime(stopTimer, 0, &every, nullptr);
  }
  errno = saved;
}

void OnAlarm(int) {}

std::wstring StartWatch(LinuxState& state) {
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return L"no pipe";
  // Without SA_RESTART: a signal ends a write that waits on a full pipe.
  struct sigaction alarm {};
  alarm.sa_handler = OnAlarm;
  sigaction(SIGALRM, &alarm, nullptr);
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGALRM;
  haveStopTimer = timer_create(CLOCK_MONOTONIC, &event, &stopTimer) == 0;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  state.stopFd = stopPipe[0];
  state.events = udev::OpenMonitor(state.monitor);
  return {};
}

// While the units have ports, their use is looked at once a second between
// udev's events; udev itself is read again only after an event. A wait
// also ends when standard output's reader has gone, which a pipe tells at
// once (POLLERR): `kqports --watch | head` ends with head, not at the next
// change, which may never come.
Waited Wait(LinuxState& state) {
  std::vector<pollfd> ends = {{state.stopFd, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
  if (!state.events)
    return poll(ends.data(), ends.size(), kWatchPeriodMs) > 0 ? Waited::kStopped
                                                               : Waited::kChanged;
  const bool uses = !(state.ports.empty() && state.endpoints.empty());
  switch (udev::WaitForEvents(state.monitor, ends, uses ? kWatchPeriodMs : -1, kQuietMs,
                              kSettleMs)) {
    case udev::WaitOutcome::kStopped: return Waited::kStopped;
    case udev::WaitOutcome::kChanged: return Waited::kChanged;
    case udev::WaitOutcome::kTimeout: break;
  }
  return Waited::kTimedOut;
}

// With no serial given, the rules for every unit, as the package installs
// them: the same bytes whether or not a unit is attached, and no udev read;
// with labels, the rules that add them, to install beside those.
std::optional<std::wstring> UdevRulesText(const ConsoleOptions& options) {
  if (!options.udevRules) return std::nullopt;
  if (!options.labels.empty())
    return wideFromUtf8(udev::UdevLabelRules(options.labels, KQ_VERSION_TEXT));
  return wideFromUtf8(udev::UdevRules(options.serials, KQ_VERSION_TEXT));
}

ConsoleEdges LinuxEdges(LinuxState& state) {
  ConsoleEdges edges;
  edges.platform = ConsolePlatform::kLinux;
  edges.writeOut = [](std::wstring_view text) {
    return WriteOutcome{WriteText(STDOUT_FILENO, text), {}};
  };
  edges.writeErr = [](std::wstring_view text) { WriteText(STDERR_FILENO, text); };
  edges.now = Now;
  edges.versionText = [] { return VersionText(); };
  edges.check = [&state](const ConsoleOptions& options, bool devicesChanged, bool uses,
                         std::optional<ConsoleReport>& report) {
    return Check(state, options, devicesChanged, uses, report);
  };
  edges.startWatch = [&state] { return StartWatch(state); };
  edges.wait = [&state] { return Wait(state); };
  edges.systemCommand = UdevRulesText;
  return edges;
}

}  // namespace
}  // namespace kq

int main(int argc, char** argv) {
  using namespace kq;
  // A reader that goes away ends the output with an error, not the process.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(wideFromUtf8(argv[i]));
  LinuxState state;
  return RunConsole(arguments, LinuxEdges(state));
}
