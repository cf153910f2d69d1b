// The look at the processes' open files in children: what they send arrives
// whole, is taken only as their share, cannot come from another process, and
// neither a child that waits for ever, nor one that sends slowly, nor Ctrl+C
// during a look keeps the program waiting past the look's one deadline; and
// what hides processes from a look.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "tests/fake_proc.h"
#include "udev/process_look.h"

namespace kq::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool sameTables(const udev::ProcessTable& a, const udev::ProcessTable& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.pid == y.pid && x.command == y.command && x.devices == y.devices &&
           x.unread == y.unread;
  });
}

unsigned long long deviceNumber(const char* path) {
  struct stat status {};
  EXPECT_EQ(stat(path, &status), 0) << path;
  return status.st_rdev;
}

udev::DeviceNumbers nullOnly() { return {deviceNumber("/dev/null")}; }

TEST(ProcessLook, TheChildrenSendWhatReadingHereFinds) {
  FakeProc proc;
  const std::vector<std::string> logger = {"/dev/null", "/etc/hostname", "/dev/zero"};
  const std::vector<std::string> many(20, "/dev/null");
  proc.add(kFakePid + 4242, std::string("fl\xe2\x80\xaerig\n"), &logger);
  proc.add(kFakePid + 77, "many\n", &many);
  proc.add(kFakePid + 1, "ModemManager\n", nullptr);
  const udev::DeviceNumbers wanted = {deviceNumber("/dev/null"), deviceNumber("/dev/zero")};
  udev::Looker looker;
  // Time enough on a loaded machine under the sanitizers: the bounds of time
  // have tests of their own below.
  const udev::LookLimits limits{8, 60s, 30s};
  const udev::Look look = udev::LookAtProcesses(looker, proc.root.string(), wanted, -1, limits);
  EXPECT_FALSE(look.stopped);
  EXPECT_TRUE(looker.stuck.empty());
  const udev::ProcessTable here = udev::ReadProcesses(proc.root.string(), wanted, 8);
  ASSERT_EQ(here.size(), 3u);
  EXPECT_EQ(here[2].devices.size(), 2u);
  EXPECT_TRUE(sameTables(look.table, here)) << "pids, names, devices and states alike";

  // Thousands of processes' records cross the channels whole, from one
  // child and from three.
  FakeProc crowd;
  const std::vector<std::string> two = {"/dev/null", "/dev/zero"};
  for (long pid = kFakePid; pid < kFakePid + 2000; ++pid)
    crowd.add(pid, "p" + std::to_string(pid) + "\n", &two);
  const udev::ProcessTable read = udev::ReadProcesses(crowd.root.string(), wanted);
  for (const int children : {1, 3}) {
    const udev::Look big = udev::LookAtProcesses(
        looker, crowd.root.string(), wanted, -1, {udev::kMostFilesPerProcess, 60s, 30s, children});
    ASSERT_EQ(big.table.size(), 2000u) << children << " children";
    EXPECT_TRUE(sameTables(big.table, read)) << children << " children";
    EXPECT_EQ(udev::UninspectedCount(big.table), 0);
  }
}

// The channel is a socket pair, which no other process can open through
// /proc/<child>/fd as it could a pipe, and then send a record of its own.
TEST(ProcessLook, NoOtherProcessCanOpenTheChildsChannel) {
  FakeProc proc;
  const std::vector<std::string> files = {"/dev/null"};
  proc.add(kFakePid + 10, "a\n", &files);
  const fs::path fifo = proc.root / std::to_string(kFakePid + 10) / "comm";
  fs::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // the child waits on it
  udev::Looker looker;
  std::thread look([&] { udev::LookAtProcesses(looker, proc.root.string(), nullOnly(), -1); });
  // The child, once it reads the process, by when it holds nothing of ours
  // but its channel: its fds, but /dev/null and the folders it reads.
  std::vector<fs::path> fds;
  for (int i = 0; i < 500 && fds.empty(); ++i, usleep(10000)) {
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/self/task", error)) {
      std::ifstream children(task.path() / "children");
      for (long child; children >> child;) {
        const fs::path folder = fs::path("/proc") / std::to_string(child) / "fd";
        for (const auto& fd : fs::directory_iterator(folder, error)) fds.push_back(fd.path());
      }
    }
    if (std::none_of(fds.begin(), fds.end(), [&](const fs::path& fd) {
          return fs::read_symlink(fd, error) == fifo.parent_path();
        }))
      fds.clear();
  }
  std::vector<std::string> opened;
  for (const fs::path& fd : fds) {
    std::error_code error;
    const fs::path target = fs::read_symlink(fd, error);
    const int held = open(fd.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (held >= 0 && target != "/dev/null") opened.push_back(target.string());
    if (held >= 0) close(held);
  }
  int writer = -1;  // the name it waits for, which ends the look
  for (int i = 0; i < 500 && writer < 0; ++i)
    if ((writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) usleep(10000);
  EXPECT_EQ(write(writer, "a\n", 2), 2);
  close(writer);
  look.join();
  EXPECT_FALSE(fds.empty()) << "the child was not found reading";
  EXPECT_TRUE(opened.empty()) << "opened through /proc: " << opened.front();
}

// What a child sends is taken only for a pid of its share, once, and only
// within bounds: a record that no child of ours would send ends the share.
TEST(ProcessLook, RecordsAreTakenOnlyOnceForThePidsHandedOut) {
  const udev::DeviceNumbers wanted = {7, 9};
  const udev::Process holder{42, "wsjtx", {9}, udev::Unread::kNone};
  std::string bytes = udev::LookRecord(42, holder) + udev::LookRecord(43, std::nullopt);
  std::set<long> pending = {42, 43, 44};
  udev::ProcessTable table;
  EXPECT_TRUE(udev::TakeLookRecords(bytes, pending, wanted, table));
  ASSERT_EQ(table.size(), 1u) << "a process gone is no entry";
  EXPECT_EQ(table[0].devices, udev::DeviceNumbers{9});
  EXPECT_EQ(pending, std::set<long>{44});

  const auto refused = [&](std::string sent) {
    std::set<long> left = {42};
    udev::ProcessTable taken;
    return !udev::TakeLookRecords(sent, left, wanted, taken);
  };
  EXPECT_TRUE(refused(udev::LookRecord(4242, holder))) << "a pid not handed out";
  EXPECT_TRUE(refused(udev::LookRecord(42, holder) + udev::LookRecord(42, holder)))
      << "a pid sent again";
  EXPECT_TRUE(refused(udev::LookRecord(42, udev::Process{42, "x", {8}})))
      << "a device not asked for";
}

// A process whose comm is a FIFO nobody writes: the child's open of it waits
// as a call into a file system that stopped answering does.
struct StuckProc {
  FakeProc proc;
  StuckProc() {
    const std::vector<std::string> files = {"/dev/null"};
    proc.add(kFakePid + 10, "before\n", &files);
    proc.add(kFakePid + 20, "stuck\n", &files);
    proc.add(kFakePid + 30, "after\n", &files);
    fs::remove(proc.root / std::to_string(kFakePid + 20) / "comm");
    EXPECT_EQ(mkfifo((proc.root / std::to_string(kFakePid + 20) / "comm").c_str(), 0600), 0);
  }
};

TEST(ProcessLook, AChildThatWaitsIsGivenUpAndWhatItDidNotSendCounted) {
  StuckProc stuck;
  udev::Looker looker;
  const udev::LookLimits limits{64, 10000ms, 200ms};
  const auto started = Clock::now();
  const udev::Look look =
      udev::LookAtProcesses(looker, stuck.proc.root.string(), nullOnly(), -1, limits);
  const auto took = Clock::now() - started;
  EXPECT_LT(took, 3000ms) << "the stall bound, not the budget or for ever";
  EXPECT_GE(took, 200ms);
  ASSERT_EQ(look.table.size(), 3u);
  EXPECT_EQ(look.table[0].command, "before");
  EXPECT_EQ(look.table[0].unread, udev::Unread::kNone);
  EXPECT_EQ(look.table[1].unread, udev::Unread::kOutOfTime);
  EXPECT_EQ(look.table[2].unread, udev::Unread::kOutOfTime) << "never reached";
  EXPECT_EQ(udev::UninspectedCount(look.table), 2);
  // A child killed in a wait that ends on SIGKILL ends; the next look runs.
  if (!looker.stuck.empty()) usleep(100000);
  fs::remove(stuck.proc.root / std::to_string(kFakePid + 20) / "comm");
  std::ofstream(stuck.proc.root / std::to_string(kFakePid + 20) / "comm") << "free\n";
  const udev::Look next =
      udev::LookAtProcesses(looker, stuck.proc.root.string(), nullOnly(), -1, limits);
  ASSERT_EQ(next.table.size(), 3u);
  EXPECT_EQ(udev::UninspectedCount(next.table), 0);
  EXPECT_TRUE(looker.stuck.empty());
}

// A child that keeps sending, however slowly, is done with at the look's
// one deadline: no trickle of records holds a look past it.
TEST(ProcessLook, TheLookEndsAtItsDeadlineHoweverTheChildSends) {
  FakeProc proc;
  const std::vector<std::string> files = {"/dev/null"};
  constexpr int kCount = 30;
  const auto commOf = [&](int i) { return proc.root / std::to_string(kFakePid + i) / "comm"; };
  for (int i = 0; i < kCount; ++i) {
    proc.add(kFakePid + i, "p\n", &files);
    fs::remove(commOf(i));
    ASSERT_EQ(mkfifo(commOf(i).c_str(), 0600), 0);
  }
  // A name every 100 ms: a record every 100 ms, well within the stall bound,
  // for three seconds.
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    for (int i = 0; i < kCount && !done; ++i) {
      usleep(100000);
      int fd = -1;
      while (!done && (fd = open(commOf(i).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
        usleep(2000);
      if (fd < 0) break;
      EXPECT_EQ(write(fd, "p\n", 2), 2);
      close(fd);
    }
  });
  udev::Looker looker;
  const auto started = Clock::now();
  const udev::Look look =
      udev::LookAtProcesses(looker, proc.root.string(), nullOnly(), -1, {64, 800ms, 500ms, 1});
  const auto took = Clock::now() - started;
  done = true;
  feeder.join();
  EXPECT_GE(took, 700ms);
  EXPECT_LT(took, 2000ms) << "the deadline, not the three seconds the child would take";
  ASSERT_EQ(look.table.size(), static_cast<size_t>(kCount));
  const int late = udev::UninspectedCount(look.table, udev::Unread::kOutOfTime);
  EXPECT_GT(late, kCount / 2);
  EXPECT_LT(late, kCount) << "what came in time is taken";
}

TEST(ProcessLook, AStopRequestEndsALookAtOnce) {
  StuckProc stuck;
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(write(stop[1], "", 1), 1);
  udev::Looker looker;
  const udev::LookLimits limits{64, 5000ms, 5000ms};
  const auto started = Clock::now();
  const udev::Look look =
      udev::LookAtProcesses(looker, stuck.proc.root.string(), nullOnly(), stop[0], limits);
  EXPECT_TRUE(look.stopped);
  EXPECT_LT(Clock::now() - started, 500ms);
  char byte = 1;
  EXPECT_EQ(read(stop[0], &byte, 1), 1) << "the request is left for the watch to see";
  close(stop[0]);
  close(stop[1]);
}

// A child given up on that still lives (here one waiting in pause(); one
// asleep in a file system that does not answer, which not even SIGKILL
// wakes, is the real case) starts no second one: each look counts every
// process as not looked at until it has gone.
TEST(ProcessLook, NoLookStartsWhileAChildGivenUpLives) {
  FakeProc proc;
  const std::vector<std::string> files = {"/dev/null"};
  proc.add(kFakePid + 10, "a\n", &files);
  udev::Looker looker;
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  // Ended however the test ends: a child left waiting would hold the test
  // runner's output open.
  struct Ender {
    pid_t pid;
    void end() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
      pid = 0;
    }
    ~Ender() { end(); }
  } ender{child};
  looker.stuck = {child};
  const udev::Look look = udev::LookAtProcesses(looker, proc.root.string(), nullOnly(), -1);
  ASSERT_EQ(look.table.size(), 1u);
  EXPECT_EQ(look.table[0].unread, udev::Unread::kOutOfTime);
  EXPECT_EQ(looker.stuck, std::vector<pid_t>{child});
  ender.end();
  looker.stuck = {child};  // reaped here; gone to the next look all the same
  // waitpid on a pid no longer a child fails: the look takes that as gone.
  const udev::Look next = udev::LookAtProcesses(looker, proc.root.string(), nullOnly(), -1);
  EXPECT_EQ(udev::UninspectedCount(next.table), 0);
  EXPECT_TRUE(looker.stuck.empty());
}

}  // namespace
}  // namespace kq::test

namespace kq::test {
namespace {

TEST(ProcessSight, HidepidAndPidNamespacesAreReadAsProcShowsThem) {
  const std::string mountinfo =
      "22 28 0:21 / /proc rw,relatime shared:12 - proc proc rw\n"
      "95 22 0:45 / /proc rw,nosuid - proc proc rw,hidepid=invisible,gid=27\n"
      "96 28 0:46 / /tmp rw - tmpfs tmpfs rw,hidepid=2\n";
  EXPECT_EQ(udev::ProcMountOptions(mountinfo, 22), "rw");
  EXPECT_EQ(udev::ProcMountOptions(mountinfo, 95), "rw,hidepid=invisible,gid=27");
  EXPECT_EQ(udev::ProcMountOptions(mountinfo, 96), "") << "no proc file system";
  EXPECT_EQ(udev::ProcMountOptions(mountinfo, 2), "") << "an id is matched whole";
  EXPECT_EQ(udev::ProcMountOptions(mountinfo, 9), "");

  // Older kernels write numbers, newer ones words.
  for (const char* hides : {"rw,hidepid=2", "rw,hidepid=invisible,gid=27", "hidepid=ptraceable"})
    EXPECT_TRUE(udev::OptionsHideProcesses(hides)) << hides;
  for (const char* shows : {"rw", "rw,hidepid=1", "rw,hidepid=noaccess", "rw,subset=pid"})
    EXPECT_FALSE(udev::OptionsHideProcesses(shows)) << shows;

  EXPECT_EQ(udev::PidNamespaceDepth("Name:\tbash\nPid:\t4242\nNSpid:\t4242\nNSpgid:\t1\n"), 1);
  EXPECT_EQ(udev::PidNamespaceDepth("Name:\tsh\nNSpid:\t9120\t7\t1\nNSpgid:\t1\n"), 3);
  EXPECT_EQ(udev::PidNamespaceDepth("Name:\tsh\nPid:\t7\n"), 1) << "a kernel without the line";
}

}  // namespace
}  // namespace kq::test
