// The look at the processes' open files in a child: what it sends arrives
// whole, and neither a child that waits for ever nor Ctrl+C during a look
// keeps the program waiting.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

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

TEST(ProcessLook, TheChildSendsWhatReadingHereFinds) {
  FakeProc proc;
  const std::vector<std::string> logger = {"/dev/null", "/etc/hostname", "/dev/zero"};
  const std::vector<std::string> many(20, "/dev/null");
  proc.add(kFakePid + 4242, std::string("fl\xe2\x80\xaerig\n"), &logger);
  proc.add(kFakePid + 77, "many\n", &many);
  proc.add(kFakePid + 1, "ModemManager\n", nullptr);
  udev::Looker looker;
  // Time enough on a loaded machine under the sanitizers: the bounds of time
  // have tests of their own below.
  const udev::LookLimits limits{8, 60s, 30s};
  const udev::Look look = udev::LookAtProcesses(looker, proc.root.string(), -1, limits);
  EXPECT_FALSE(look.stopped);
  EXPECT_EQ(looker.stuck, -1);
  const udev::ProcessTable here = udev::ReadProcesses(proc.root.string(), 8);
  ASSERT_EQ(here.size(), 3u);
  EXPECT_EQ(here[2].devices.size(), 2u);
  EXPECT_TRUE(sameTables(look.table, here)) << "pids, names, devices and states alike";

  // Thousands of processes' records cross the pipe whole.
  FakeProc crowd;
  const std::vector<std::string> two = {"/dev/null", "/dev/zero"};
  for (long pid = kFakePid; pid < kFakePid + 2000; ++pid)
    crowd.add(pid, "p" + std::to_string(pid) + "\n", &two);
  const udev::Look big =
      udev::LookAtProcesses(looker, crowd.root.string(), -1, {udev::kMostFilesPerProcess, 60s, 30s});
  ASSERT_EQ(big.table.size(), 2000u);
  EXPECT_TRUE(sameTables(big.table, udev::ReadProcesses(crowd.root.string())));
  EXPECT_EQ(udev::UninspectedCount(big.table), 0);
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
  const udev::Look look = udev::LookAtProcesses(looker, stuck.proc.root.string(), -1, limits);
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
  if (looker.stuck > 0) {
    usleep(100000);
  }
  fs::remove(stuck.proc.root / std::to_string(kFakePid + 20) / "comm");
  std::ofstream(stuck.proc.root / std::to_string(kFakePid + 20) / "comm") << "free\n";
  const udev::Look next = udev::LookAtProcesses(looker, stuck.proc.root.string(), -1, limits);
  ASSERT_EQ(next.table.size(), 3u);
  EXPECT_EQ(udev::UninspectedCount(next.table), 0);
  EXPECT_EQ(looker.stuck, -1);
}

TEST(ProcessLook, AStopRequestEndsALookAtOnce) {
  StuckProc stuck;
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(write(stop[1], "", 1), 1);
  udev::Looker looker;
  const udev::LookLimits limits{64, 5000ms, 5000ms};
  const auto started = Clock::now();
  const udev::Look look = udev::LookAtProcesses(looker, stuck.proc.root.string(), stop[0], limits);
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
  looker.stuck = child;
  const udev::Look look = udev::LookAtProcesses(looker, proc.root.string(), -1);
  ASSERT_EQ(look.table.size(), 1u);
  EXPECT_EQ(look.table[0].unread, udev::Unread::kOutOfTime);
  EXPECT_EQ(looker.stuck, child);
  ender.end();
  looker.stuck = child;  // reaped here; gone to the next look all the same
  // waitpid on a pid no longer a child fails: the look takes that as gone.
  const udev::Look next = udev::LookAtProcesses(looker, proc.root.string(), -1);
  EXPECT_EQ(udev::UninspectedCount(next.table), 0);
  EXPECT_EQ(looker.stuck, -1);
}

}  // namespace
}  // namespace kq::test
