// kqports on Linux: the same report from udev's device database, the udev
// rules for stable names, and --watch following udev's events. What it prints
// is the portable part (options, render); here are only the Linux edges:
// arguments, standard output, the clock, signals and udev.
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
#include "console/for_program.h"
#include "console/options.h"
#include "console/render.h"
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

enum class Written { kWhole, kReaderGone, kFailed };

// One write call where the system allows, so a reader of a pipe never sees
// half a report. kReaderGone: a pipe whose reader has closed it; kFailed:
// anything else that stops the text (a full disk, a closed descriptor).
Written WriteText(int fd, std::wstring_view text) {
  const std::string bytes = encodeUtf8(text);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EPIPE) return Written::kReaderGone;
    if (written <= 0) return Written::kFailed;
    done += static_cast<size_t>(written);
  }
  return Written::kWhole;
}

bool Write(int fd, std::wstring_view text) { return WriteText(fd, text) == Written::kWhole; }

// The output of a program that prints once: all of it, or an internal failure.
int PrintOnce(std::wstring_view text, int exitCode) {
  return Write(STDOUT_FILENO, text) ? exitCode : kExitFailure;
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

// One enumeration over udev's devices as they are now. No report when udev
// could not be read (said on standard error).
struct Enumeration {
  std::optional<ConsoleReport> report;
  udev::Devices devices;
  udev::ReportedPorts ports;      // the units' ports
  udev::ReportedPorts endpoints;  // the units' audio endpoints
};

Enumeration Enumerate(const ConsoleOptions& options) {
  Enumeration result;
  ReportNames names;
  if (!udev::LoadUdevTree(&names, &result.devices)) {
    Write(STDERR_FILENO, L"kqports: cannot read udev's device database\n");
    return result;
  }
  // Linux has an ALSA device of each direction: the split layout. The
  // drivers are the kernel's.
  result.report = EnumerateForConsole(true, options, udev::UnitLabelsOf(result.devices));
  result.report->names = std::move(names);
  result.ports = udev::PortsOf(result.report->report, *result.report->names, result.devices);
  result.endpoints =
      udev::EndpointsOf(result.report->report, *result.report->names, result.devices);
  return result;
}

// /proc is read at most once a second, and less often where a read takes
// long: a watch keeps the table it read last.
struct Processes {
  udev::Looker looker;
  udev::ProcessTable table;
  std::optional<std::chrono::steady_clock::time_point> readAt;
  std::chrono::steady_clock::duration period = std::chrono::seconds(1);
};

// Who may open each of the units' ports and who has it open; no /proc read
// when the units have no port. False when `stopFd` became readable during
// the look: the report is not worth finishing.
bool AddUses(Enumeration& now, Processes& processes, int stopFd) {
  if (now.ports.empty() && now.endpoints.empty()) return true;
  const auto at = std::chrono::steady_clock::now();
  if (!processes.readAt || at - *processes.readAt >= processes.period) {
    const std::chrono::nanoseconds started = ThreadTime();
    udev::Look look = udev::LookAtProcesses(processes.looker, "/proc", stopFd);
    if (look.stopped) return false;
    processes.table = std::move(look.table);
    processes.readAt = at;
    // The look's processor time: the child's reading and this thread's
    // fork and reading of what the child sent.
    processes.period = std::max<std::chrono::steady_clock::duration>(
        std::chrono::seconds(1), (ThreadTime() - started + look.childTime) * kLookTimeShare);
  }
  udev::AddPortUses(*now.report->names, now.ports, now.devices, processes.table);
  udev::AddEndpointHolders(*now.report->names, now.endpoints, now.devices, processes.table);
  return true;
}

// Written to by SIGINT and SIGTERM; --watch waits on its other end.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = write(stopPipe[1], &byte, 1);
}

int Watch(const ConsoleOptions& options) {
  if (pipe(stopPipe) != 0) {
    Write(STDERR_FILENO, L"kqports: cannot watch: no pipe\n");
    return kExitFailure;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  udev::DeviceMonitor monitor;
  const bool events = udev::OpenMonitor(monitor);
  ReportWatch watch;
  Processes processes;
  Enumeration now;
  for (bool readUdev = true;;) {
    // udev unreadable for a moment is said and tried again at the next event.
    if (readUdev) now = Enumerate(options);
    if (now.report) {
      if (!AddUses(now, processes, stopPipe[0])) break;
      if (ReportChanged(watch, WatchedLines(*now.report), &*now.report->names)) {
        const Written written =
            WriteText(STDOUT_FILENO, ConsoleOutput(options, *now.report, FormatLocalTime(Now())));
        // A reader that went away ends the watch as Ctrl+C does.
        if (written == Written::kReaderGone) break;
        if (written == Written::kFailed) {
          Write(STDERR_FILENO, L"kqports: cannot write the report\n");
          return kExitFailure;
        }
      }
    }
    // While the units have ports, their use is looked at once a second
    // between udev's events; udev itself is read again only after an event.
    const bool uses = now.report && !(now.ports.empty() && now.endpoints.empty());
    if (events) {
      const udev::WaitOutcome outcome = udev::WaitForEvents(
          monitor, stopPipe[0], uses ? kWatchPeriodMs : -1, kQuietMs, kSettleMs);
      if (outcome == udev::WaitOutcome::kStopped) break;
      readUdev = outcome == udev::WaitOutcome::kChanged;
    } else {
      pollfd stop{stopPipe[0], POLLIN, 0};
      if (poll(&stop, 1, kWatchPeriodMs) > 0) break;
    }
  }
  return kExitOk;
}

// With no serial given, the rules for every unit, as the package installs
// them: the same bytes whether or not a unit is attached, and no udev read;
// with labels, the rules that add them, to install beside those.
int PrintUdevRules(const ConsoleOptions& options) {
  if (!options.labels.empty())
    return PrintOnce(wideFromUtf8(udev::UdevLabelRules(options.labels, KQ_VERSION_TEXT)), kExitOk);
  return PrintOnce(wideFromUtf8(udev::UdevRules(options.serials, KQ_VERSION_TEXT)), kExitOk);
}

}  // namespace
}  // namespace kq

int main(int argc, char** argv) {
  using namespace kq;
  // A reader that goes away ends the output with an error, not the process.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(wideFromUtf8(argv[i]));
  const ParsedArguments parsed = ParseArguments(arguments, ConsolePlatform::kLinux);
  if (parsed.badArgument) {
    Write(STDERR_FILENO, UsageErrorText(parsed));
    return kExitBadUsage;
  }
  const ConsoleOptions& options = parsed.options;
  if (options.help || options.version) {
    return PrintOnce(options.help ? HelpText(ConsolePlatform::kLinux) : VersionText(), kExitOk);
  }
  if (options.udevRules) return PrintUdevRules(options);
  if (options.watch) return Watch(options);

  Enumeration now = Enumerate(options);
  if (!now.report) return kExitFailure;
  if (options.role || options.program) {
    const RoleAnswer answer =
        options.program ? AnswerFor(*now.report, options) : AnswerRole(*now.report, options);
    if (!answer.err.empty()) Write(STDERR_FILENO, answer.err);
    return PrintOnce(answer.out, answer.exitCode);
  }
  Processes processes;
  AddUses(now, processes, -1);
  return PrintOnce(ConsoleOutput(options, *now.report, FormatLocalTime(Now())),
                   ExitCodeFor(now.report->units));
}
