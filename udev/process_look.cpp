#include "udev/process_look.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/unique_handle.h"

namespace kq::udev {
namespace {

using Clock = std::chrono::steady_clock;
using UniqueDir = UniqueHandle<NullIsInvalidTraits<DIR*, closedir>>;

struct FdTraits {
  using pointer = int;
  static constexpr pointer invalid() noexcept { return -1; }
  static void close(pointer fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

// What a child sends: one record a process of its share, in any order.
//   i64 pid, u8 state (an Unread, or kGone), u8 comm length, comm,
//   u16 device count, device count x u64 device number (each one wanted)
constexpr std::uint8_t kGone = 0xFF;
constexpr size_t kMostCommand = 63;
// A child stops reading this long before the look's deadline (at most a
// quarter of the budget), so that what it read arrives in time.
constexpr std::chrono::milliseconds kLastWord{100};
// Processes enough to be worth a child of their own.
constexpr size_t kProcessesPerLooker = 256;

template <typename T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads what a child sent, as far as it is whole.
struct Reader {
  const std::string& bytes;
  size_t at = 0;
  template <typename T>
  bool take(T& value) {
    if (bytes.size() - at < sizeof value) return false;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    at += sizeof value;
    return true;
  }
};

bool writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

// A child: reads the processes of its share and sends them as it reads
// them. It holds nothing of its parent's but its end of the channel, so
// that a child left waiting keeps no reader of the parent's output waiting
// with it, and it ends with its parent. The channel is one of a socket pair,
// which no other process can open through /proc/<pid>/fd as it could a pipe;
// and the child is not dumpable, so that no other process of the user may
// take its end (pidfd_getfd, ptrace) and speak for it.
[[noreturn]] void runChild(int channel, pid_t parent, const std::string& procRoot,
                           const std::vector<long>& pids, const DeviceNumbers& wanted,
                           const LookLimits& limits, Clock::time_point deadline) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  prctl(PR_SET_DUMPABLE, 0);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  const int out = fcntl(channel, F_DUPFD_CLOEXEC, 3);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (out < 0 || null < 0) _exit(1);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  close_range(3, static_cast<unsigned>(out) - 1, 0);
  close_range(static_cast<unsigned>(out) + 1, ~0U, 0);

  const int root = open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) _exit(1);
  // Each process as soon as it is read: should the next one hang the
  // child, this one is not lost with it. (Records gathered into fewer
  // writes made a look no shorter.)
  for (const long pid : pids)
    if (!writeAll(out, LookRecord(pid, ReadProcess(root, pid, wanted, limits.mostFiles, deadline))))
      _exit(1);
  _exit(0);
}

// One child's share of the look: the pids handed to it and not yet
// received, and what it sent that is not yet whole.
struct Share {
  pid_t child = -1;
  UniqueFd channel;
  std::set<long> pending;
  std::string bytes;
  Clock::time_point heard;  // when it last sent anything
};

// Every pid of `pids` as not looked at.
void addUnreached(const std::vector<long>& pids, ProcessTable& table) {
  for (const long pid : pids) table.push_back({pid, {}, {}, Unread::kOutOfTime});
}

// Ends a child; one that does not end at once is left to end later.
void giveUp(Looker& looker, pid_t child) {
  kill(child, SIGKILL);
  for (int i = 0; i < 10; ++i) {
    if (waitpid(child, nullptr, WNOHANG) != 0) return;
    usleep(1000);
  }
  looker.stuck.push_back(child);
}

// Takes the processor time of a child that closed its channel, which it
// does as it ends; one that has not ended soon after is given up.
void reap(Looker& looker, pid_t child, std::chrono::microseconds& childTime) {
  for (int i = 0; i < 100; ++i) {
    rusage usage{};
    const pid_t ended = wait4(child, nullptr, WNOHANG, &usage);
    if (ended == child)
      childTime += std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    if (ended != 0) return;
    usleep(1000);
  }
  giveUp(looker, child);
}

int childrenFor(size_t processes, const LookLimits& limits) {
  if (limits.children > 0) return limits.children;
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  const size_t most = static_cast<size_t>(std::clamp<long>(online, 1, kMostLookers));
  return static_cast<int>(std::clamp<size_t>(processes / kProcessesPerLooker, 1, most));
}

int millisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::max<decltype(left)>(left, 0));
}

// The whole text of a small file of /proc; empty when it cannot be read.
std::string readText(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd) return text;
  char chunk[4096];
  for (ssize_t got; (got = read(fd.get(), chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<size_t>(got));
  return text;
}

// The inode of the initial pid namespace, a constant of the kernel
// (PROC_PID_INIT_INO) since namespaces have inodes.
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFCU;

// Whether the /proc at `procRoot` shows the initial pid namespace, which
// holds every process. A /proc shows the namespace of whoever mounted it:
// NSpid lists this process's pid in that namespace and each one below it,
// so the namespace of /proc is that many less one above this process's own.
// Where the way up is refused (a namespace of another user namespace's),
// nothing says every process is there.
bool showsEveryProcess(const std::string& procRoot) {
  UniqueFd space(open((procRoot + "/self/ns/pid").c_str(), O_RDONLY | O_CLOEXEC));
  if (!space) return true;  // a kernel without pid namespaces: one for all
  const int depth = PidNamespaceDepth(readText(procRoot + "/self/status"));
  for (int up = 1; up < depth; ++up) {
    const int parent = ioctl(space.get(), NS_GET_PARENT);
    if (parent < 0) return false;
    space.reset(parent);
  }
  struct stat status {};
  return fstat(space.get(), &status) == 0 && status.st_ino == kInitialPidNamespace;
}

}  // namespace

Look LookAtProcesses(Looker& looker, const std::string& procRoot, const DeviceNumbers& wanted,
                     int stopFd, const LookLimits& limits) {
  Look look;
  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + limits.budget;
  const UniqueDir root(opendir(procRoot.c_str()));
  const std::vector<long> pids = root ? ProcessIds(root.get()) : std::vector<long>();
  const auto ended = [](pid_t child) { return waitpid(child, nullptr, WNOHANG) != 0; };
  looker.stuck.erase(std::remove_if(looker.stuck.begin(), looker.stuck.end(), ended),
                     looker.stuck.end());
  if (!looker.stuck.empty() || pids.empty()) {
    addUnreached(pids, look.table);
    return look;
  }

  // Each child reads every n-th process: a share of the long and the short.
  const int children = childrenFor(pids.size(), limits);
  std::vector<std::vector<long>> handedOut(static_cast<size_t>(children));
  for (size_t i = 0; i < pids.size(); ++i) handedOut[i % handedOut.size()].push_back(pids[i]);
  const Clock::time_point childDeadline =
      deadline - std::min<Clock::duration>(kLastWord, limits.budget / 4);
  const pid_t parent = getpid();
  std::vector<Share> shares(handedOut.size());
  for (size_t i = 0; i < shares.size(); ++i) {
    Share& share = shares[i];
    share.pending.insert(handedOut[i].begin(), handedOut[i].end());
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) continue;
    share.channel.reset(ends[0]);
    UniqueFd childEnd(ends[1]);
    share.child = fork();
    if (share.child == 0)
      runChild(childEnd.get(), parent, procRoot, handedOut[i], wanted, limits, childDeadline);
    if (share.child < 0) share.channel.reset();
    share.heard = Clock::now();
  }

  for (;;) {
    std::vector<pollfd> waits;
    std::vector<Share*> waited;
    Clock::time_point wake = deadline;
    for (Share& share : shares)
      if (share.channel) {
        waits.push_back({share.channel.get(), POLLIN, 0});
        waited.push_back(&share);
        wake = std::min(wake, share.heard + limits.stall);
      }
    if (waits.empty()) break;
    if (Clock::now() >= deadline) {  // the one deadline: whoever is still sending is too late
      for (Share* share : waited) {
        giveUp(looker, share->child);
        share->channel.reset();
      }
      break;
    }
    if (stopFd >= 0) waits.push_back({stopFd, POLLIN, 0});
    const int ready = poll(waits.data(), waits.size(), millisecondsUntil(wake));
    if (ready < 0 && errno != EINTR) {  // nothing can be waited for: nothing more counts
      for (Share* share : waited) {
        giveUp(looker, share->child);
        share->channel.reset();
      }
      break;
    }
    if (stopFd >= 0 && waits.back().revents) {
      for (Share* share : waited) giveUp(looker, share->child);
      look.stopped = true;
      return look;
    }
    for (size_t i = 0; i < waited.size(); ++i) {
      Share& share = *waited[i];
      if (ready > 0 && waits[i].revents) {
        char chunk[65536];
        const ssize_t got = read(share.channel.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got > 0) {
          share.heard = Clock::now();
          share.bytes.append(chunk, static_cast<size_t>(got));
          if (TakeLookRecords(share.bytes, share.pending, wanted, look.table)) continue;
          giveUp(looker, share.child);  // it speaks out of turn: nothing more of it counts
        } else {
          reap(looker, share.child, look.childTime);
        }
        share.channel.reset();
      } else if (Clock::now() - share.heard >= limits.stall) {
        giveUp(looker, share.child);  // nothing for limits.stall: a child that waits on something
        share.channel.reset();
      }
    }
  }
  for (const Share& share : shares)
    addUnreached(std::vector<long>(share.pending.begin(), share.pending.end()), look.table);
  std::sort(look.table.begin(), look.table.end(),
            [](const Process& a, const Process& b) { return a.pid < b.pid; });
  return look;
}

std::string LookRecord(long pid, const std::optional<Process>& process) {
  std::string bytes;
  put(bytes, static_cast<std::int64_t>(pid));
  put(bytes, process ? static_cast<std::uint8_t>(process->unread) : kGone);
  const std::string command = process ? process->command.substr(0, kMostCommand) : std::string();
  put(bytes, static_cast<std::uint8_t>(command.size()));
  bytes += command;
  put(bytes, static_cast<std::uint16_t>(process ? process->devices.size() : 0));
  if (process)
    for (const unsigned long long device : process->devices)
      put(bytes, static_cast<std::uint64_t>(device));
  return bytes;
}

bool TakeLookRecords(std::string& bytes, std::set<long>& pending, const DeviceNumbers& wanted,
                     ProcessTable& table) {
  Reader reader{bytes};
  bool sound = true;
  for (;;) {
    const size_t start = reader.at;
    std::int64_t pid = 0;
    std::uint8_t state = 0;
    std::uint8_t commandLength = 0;
    std::uint16_t deviceCount = 0;
    if (!reader.take(pid) || !reader.take(state) || !reader.take(commandLength)) {
      reader.at = start;
      break;
    }
    if (!pending.count(static_cast<long>(pid)) || commandLength > kMostCommand ||
        (state != kGone && state > static_cast<std::uint8_t>(Unread::kOutOfTime))) {
      sound = false;
      break;
    }
    if (bytes.size() - reader.at < commandLength) {
      reader.at = start;
      break;
    }
    std::string command = bytes.substr(reader.at, commandLength);
    reader.at += commandLength;
    if (!reader.take(deviceCount)) {
      reader.at = start;
      break;
    }
    if (deviceCount > wanted.size()) {
      sound = false;
      break;
    }
    if ((bytes.size() - reader.at) / sizeof(std::uint64_t) < deviceCount) {
      reader.at = start;
      break;
    }
    Process process;
    process.pid = static_cast<long>(pid);
    process.command = std::move(command);
    for (std::uint16_t i = 0; i < deviceCount; ++i) {
      std::uint64_t device = 0;
      reader.take(device);
      process.devices.push_back(device);
    }
    if (!std::all_of(process.devices.begin(), process.devices.end(), [&](std::uint64_t device) {
          return std::binary_search(wanted.begin(), wanted.end(), device);
        })) {
      sound = false;
      break;
    }
    pending.erase(process.pid);
    if (state != kGone) {
      process.unread = static_cast<Unread>(state);
      table.push_back(std::move(process));
    }
  }
  bytes.erase(0, reader.at);
  return sound;
}

ProcessSight SightOf(const std::string& procRoot) {
  ProcessSight sight;
  sight.root = geteuid() == 0;
  // Hidden from this process when pid 1 is, root's init or a container's:
  // root and the members of the mount's gid= group see every process.
  struct statx where {};
  struct stat first {};
  if (statx(AT_FDCWD, procRoot.c_str(), 0, STATX_MNT_ID, &where) == 0 &&
      (where.stx_mask & STATX_MNT_ID) &&
      OptionsHideProcesses(
          ProcMountOptions(readText(procRoot + "/self/mountinfo"), where.stx_mnt_id)) &&
      stat((procRoot + "/1").c_str(), &first) != 0)
    sight.hidden = Hidden::kByMount;
  else if (!showsEveryProcess(procRoot))
    sight.hidden = Hidden::kByNamespace;
  return sight;
}

std::string ProcMountOptions(std::string_view mountinfo, unsigned long long mountId) {
  // A line: id parent major:minor root point options [tags...] - type source superoptions
  const std::string id = std::to_string(mountId) + " ";
  for (size_t start = 0; start < mountinfo.size();) {
    size_t end = mountinfo.find('\n', start);
    if (end == std::string_view::npos) end = mountinfo.size();
    const std::string_view line = mountinfo.substr(start, end - start);
    start = end + 1;
    const size_t dash = line.find(" - ");
    if (line.compare(0, id.size(), id) != 0 || dash == std::string_view::npos) continue;
    const std::string_view rest = line.substr(dash + 3);
    const size_t source = rest.find(' ');
    const size_t options = source == std::string_view::npos ? source : rest.find(' ', source + 1);
    if (rest.substr(0, source) != "proc" || options == std::string_view::npos) return {};
    return std::string(rest.substr(options + 1));
  }
  return {};
}

bool OptionsHideProcesses(std::string_view options) {
  for (size_t start = 0; start <= options.size();) {
    size_t end = options.find(',', start);
    if (end == std::string_view::npos) end = options.size();
    const std::string_view option = options.substr(start, end - start);
    start = end + 1;
    for (const char* hides : {"hidepid=2", "hidepid=invisible", "hidepid=4", "hidepid=ptraceable"})
      if (option == hides) return true;
  }
  return false;
}

int PidNamespaceDepth(std::string_view status) {
  const size_t at = status.find("\nNSpid:");
  if (at == std::string_view::npos) return 1;
  const size_t end = status.find('\n', at + 1);
  const std::string_view numbers =
      status.substr(at + 7, end == std::string_view::npos ? end : end - at - 7);
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  int count = 0;
  for (size_t i = 0; i < numbers.size(); ++i)
    if (!blank(numbers[i]) && (i == 0 || blank(numbers[i - 1]))) ++count;
  return std::max(count, 1);
}

}  // namespace kq::udev
