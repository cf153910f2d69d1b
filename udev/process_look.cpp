#include "udev/process_look.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

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

// What the child sends: the pids it will read, then one record a process.
//   header: u32 count, count x i64 pid
//   record: i64 pid, u8 state (an Unread, or kGone), u16 comm length, comm,
//           u32 device count, device count x u64 device number
constexpr std::uint8_t kGone = 0xFF;

template <typename T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads what the child sent, as far as it is whole.
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

// The child: reads the processes and sends each as it is read. It holds
// nothing of its parent's but the pipe it writes to, so that a child left
// waiting keeps no reader of the parent's output waiting with it, and it
// ends with its parent.
[[noreturn]] void runChild(int pipeEnd, pid_t parent, const std::string& procRoot,
                           const LookLimits& limits, Clock::time_point deadline) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  const int out = fcntl(pipeEnd, F_DUPFD, 3);
  const int null = open("/dev/null", O_RDWR);
  if (out < 0 || null < 0) _exit(1);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  close_range(3, static_cast<unsigned>(out) - 1, 0);
  close_range(static_cast<unsigned>(out) + 1, ~0U, 0);

  const UniqueDir root(opendir(procRoot.c_str()));
  std::vector<long> pids = root ? ProcessIds(root.get()) : std::vector<long>();
  pids.erase(std::remove(pids.begin(), pids.end(), static_cast<long>(parent)), pids.end());
  std::string bytes;
  put(bytes, static_cast<std::uint32_t>(pids.size()));
  for (const long pid : pids) put(bytes, static_cast<std::int64_t>(pid));
  if (!writeAll(out, bytes)) _exit(1);
  for (const long pid : pids) {
    const std::optional<Process> process =
        ReadProcess(dirfd(root.get()), pid, limits.mostFiles, deadline);
    bytes.clear();
    put(bytes, static_cast<std::int64_t>(pid));
    put(bytes, process ? static_cast<std::uint8_t>(process->unread) : kGone);
    const std::string command = process ? process->command.substr(0, 0xFFFF) : std::string();
    put(bytes, static_cast<std::uint16_t>(command.size()));
    bytes += command;
    put(bytes, static_cast<std::uint32_t>(process ? process->devices.size() : 0));
    if (process)
      for (const unsigned long long device : process->devices)
        put(bytes, static_cast<std::uint64_t>(device));
    if (!writeAll(out, bytes)) _exit(1);
  }
  _exit(0);
}

// What arrived from the child: the pids it announced and the processes it
// sent, as far as it got.
struct Received {
  std::optional<std::vector<long>> pids;
  std::set<long> sent;
  ProcessTable table;
};

// Takes the whole records at the front of `bytes` and drops them from it.
void takeRecords(std::string& bytes, Received& received) {
  Reader reader{bytes};
  if (!received.pids) {
    std::uint32_t count = 0;
    if (!reader.take(count) || (bytes.size() - reader.at) / sizeof(std::int64_t) < count) return;
    received.pids.emplace();
    for (std::uint32_t i = 0; i < count; ++i) {
      std::int64_t pid = 0;
      reader.take(pid);
      received.pids->push_back(static_cast<long>(pid));
    }
    bytes.erase(0, reader.at);
    reader.at = 0;
  }
  for (;;) {
    const size_t start = reader.at;
    std::int64_t pid = 0;
    std::uint8_t state = 0;
    std::uint16_t commandLength = 0;
    std::uint32_t deviceCount = 0;
    if (!reader.take(pid) || !reader.take(state) || !reader.take(commandLength) ||
        bytes.size() - reader.at < commandLength) {
      reader.at = start;
      break;
    }
    std::string command = bytes.substr(reader.at, commandLength);
    reader.at += commandLength;
    if (!reader.take(deviceCount) ||
        (bytes.size() - reader.at) / sizeof(std::uint64_t) < deviceCount) {
      reader.at = start;
      break;
    }
    Process process;
    process.pid = static_cast<long>(pid);
    process.command = std::move(command);
    for (std::uint32_t i = 0; i < deviceCount; ++i) {
      std::uint64_t device = 0;
      reader.take(device);
      process.devices.push_back(device);
    }
    received.sent.insert(process.pid);
    if (state != kGone) {
      process.unread = static_cast<Unread>(std::min<std::uint8_t>(
          state, static_cast<std::uint8_t>(Unread::kOutOfTime)));
      received.table.push_back(std::move(process));
    }
  }
  bytes.erase(0, reader.at);
}

// Every process of `pids` that `received` lacks, as not looked at.
void addUnreached(const std::vector<long>& pids, Received& received) {
  for (const long pid : pids)
    if (!received.sent.count(pid)) received.table.push_back({pid, {}, {}, Unread::kOutOfTime});
  std::sort(received.table.begin(), received.table.end(),
            [](const Process& a, const Process& b) { return a.pid < b.pid; });
}

// The processes of `procRoot` as not looked at: when no child can look.
ProcessTable unreached(const std::string& procRoot) {
  Received received;
  const UniqueDir root(opendir(procRoot.c_str()));
  if (root) addUnreached(ProcessIds(root.get()), received);
  return std::move(received.table);
}

// Ends the child; one that does not end at once is left to end later.
void giveUp(Looker& looker, pid_t child) {
  kill(child, SIGKILL);
  for (int i = 0; i < 10; ++i) {
    if (waitpid(child, nullptr, WNOHANG) != 0) return;
    usleep(1000);
  }
  looker.stuck = child;
}

}  // namespace

Look LookAtProcesses(Looker& looker, const std::string& procRoot, int stopFd,
                     const LookLimits& limits) {
  Look look;
  if (looker.stuck > 0) {
    if (waitpid(looker.stuck, nullptr, WNOHANG) == 0) {
      look.table = unreached(procRoot);
      return look;
    }
    looker.stuck = -1;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    look.table = unreached(procRoot);
    return look;
  }
  UniqueFd in(ends[0]);
  UniqueFd out(ends[1]);
  const Clock::time_point deadline = Clock::now() + limits.budget;
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) runChild(out.release(), parent, procRoot, limits, deadline);
  out.reset();
  if (child < 0) {
    look.table = unreached(procRoot);
    return look;
  }

  Received received;
  std::string bytes;
  for (;;) {
    pollfd waits[2] = {{in.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(waits, stopFd < 0 ? 1 : 2, static_cast<int>(limits.stall.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0 && stopFd >= 0 && waits[1].revents) {
      giveUp(looker, child);
      look.stopped = true;
      return look;
    }
    if (ready <= 0) {  // nothing for limits.stall: a child that waits on something
      giveUp(looker, child);
      break;
    }
    char chunk[65536];
    const ssize_t got = read(in.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      rusage usage{};
      if (wait4(child, nullptr, 0, &usage) == child)
        look.childTime = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
      break;
    }
    bytes.append(chunk, static_cast<size_t>(got));
    takeRecords(bytes, received);
  }
  if (received.pids) addUnreached(*received.pids, received);
  else received.table = unreached(procRoot);
  look.table = std::move(received.table);
  return look;
}

}  // namespace kq::udev
