#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "drivers/elevation.h"
#include "drivers/install_wait.h"

namespace kq::test {

namespace {

// A millisecond clock that moves only when a slice waits.
struct FakeClock {
  std::uint32_t now;
  std::vector<std::uint32_t> asked;  // the `remaining` of every slice
};

// Messages keep arriving every `gap` ms: no slice runs to its end, yet the
// wait lasts exactly its length, neither cut short nor started over.
TEST(InstallWait, MessagesNeitherEndNorRestartTheWait) {
  for (std::uint32_t start : {0u, 0xFFFFFF00u}) {  // the second crosses the clock's wrap
    FakeClock clock{start, {}};
    const std::uint32_t gap = 7;
    const bool signalled = WaitUntilDeadline(
        2000, [&] { return clock.now; },
        [&](std::uint32_t remaining) {
          clock.asked.push_back(remaining);
          clock.now += remaining < gap ? remaining : gap;
          return false;
        });
    EXPECT_FALSE(signalled);
    EXPECT_EQ(static_cast<std::uint32_t>(clock.now - start), 2000u) << "start " << start;
    ASSERT_EQ(clock.asked.size(), 286u);  // 285 slices of 7 ms, then the last 5
    EXPECT_EQ(clock.asked.front(), 2000u);
    EXPECT_EQ(clock.asked[1], 1993u);
    EXPECT_EQ(clock.asked.back(), 5u);
  }
}

TEST(InstallWait, SignalledObjectEndsTheWaitAtOnceAndAnEmptyWaitWaitsNot) {
  FakeClock clock{100, {}};
  int slices = 0;
  EXPECT_TRUE(WaitUntilDeadline(
      60000, [&] { return clock.now; },
      [&](std::uint32_t remaining) {
        clock.now += remaining < 300 ? remaining : 300;
        return ++slices == 3;  // two messages, then the process ends
      }));
  EXPECT_EQ(clock.now, 1000u);

  slices = 0;
  EXPECT_FALSE(WaitUntilDeadline(
      0, [&] { return clock.now; }, [&](std::uint32_t) {
        ++slices;
        return true;
      }));
  EXPECT_EQ(slices, 0);
}

// After the marker waits: what the flow does with the install folder, for
// every way the script may have started and every state it may be in.
TEST(InstallDecision, NeverCleansUpUnderARunningScript) {
  using S = ScriptStart;
  using O = InstallOutcome;
  struct Case {
    S start;
    bool processEnded, finished, refused;
    O outcome;
  } const cases[] = {
      // Followed through its process: the process alone says whether it runs.
      {S::Followed, true, true, false, O::Finished},
      {S::Followed, true, true, true, O::Finished},  // the end marker wins
      {S::Followed, true, false, true, O::Refused},
      {S::Followed, true, false, false, O::Refused},  // ended without a marker
      {S::Followed, false, true, false, O::StillRunning},
      {S::Followed, false, false, true, O::StillRunning},
      {S::Followed, false, false, false, O::StillRunning},
      // Started, but the shell gave no process: an end marker is its last act.
      {S::Unseen, false, true, false, O::Finished},
      {S::Unseen, false, false, true, O::Refused},
      {S::Unseen, false, false, false, O::StillRunning},
      // Never started (redirection could not be switched off): nothing runs.
      {S::NotStarted, false, false, false, O::Refused},
  };
  for (const Case& c : cases) {
    const bool mayRun = ScriptMayRun(c.start, c.processEnded, c.finished, c.refused);
    EXPECT_EQ(DecideInstallOutcome(mayRun, c.finished), c.outcome)
        << "start " << static_cast<int>(c.start) << " ended " << c.processEnded << " finished "
        << c.finished << " refused " << c.refused;
  }
}

// Wine shows no elevation prompt, so a declined one cannot be produced end to
// end; ShellExecuteExW then fails with ERROR_CANCELLED, which the flow takes
// as it takes any failed start (test_script_cannot_start): no script runs,
// and the installation is refused at once.
TEST(InstallDecision, DeclinedElevationOrFailedStartRunsNoScript) {
  EXPECT_EQ(ClassifyScriptStart(false, false), ScriptStart::NotStarted);
  EXPECT_EQ(ClassifyScriptStart(true, true), ScriptStart::Followed);
  EXPECT_EQ(ClassifyScriptStart(true, false), ScriptStart::Unseen);
  EXPECT_FALSE(ScriptMayRun(ScriptStart::NotStarted, false, false, false));
}

// A followed self-extractor's exit code is the outcome: a marker in the
// folder says nothing then (another process could have put one there where
// Windows does not keep it out); only without a process to follow does the
// end marker count.
TEST(InstallDecision, TheElevatedSidesExitCodeDecides) {
  EXPECT_TRUE(InstallationFinished(ScriptStart::Followed, kSfxFinished, false));
  EXPECT_FALSE(InstallationFinished(ScriptStart::Followed, kSfxNotFinished, true));
  EXPECT_FALSE(InstallationFinished(ScriptStart::Followed, kSfxDamaged, true));
  EXPECT_FALSE(InstallationFinished(ScriptStart::Followed, 259 /* STILL_ACTIVE */, true));
  EXPECT_TRUE(InstallationFinished(ScriptStart::Unseen, kSfxNotFinished, true));
  EXPECT_FALSE(InstallationFinished(ScriptStart::Unseen, kSfxFinished, false));
  EXPECT_FALSE(InstallationFinished(ScriptStart::NotStarted, kSfxFinished, true));
}

struct Poll {
  int looks = 0;
  std::vector<std::uint32_t> waits;
};

// Once the script has ended, one more look, then no more waiting: a script
// that wrote no marker costs no 30 s per marker.
TEST(InstallWait, LooksForAFileEndOneLookAfterTheScriptEnds) {
  Poll poll;
  bool ended = false;
  EXPECT_FALSE(PollForFileWhileRunning([&] { return ++poll.looks, false; }, [&] { return ended; },
                                       [&](std::uint32_t ms) {
                                         poll.waits.push_back(ms);
                                         ended = poll.waits.size() == 2;
                                       }));
  EXPECT_EQ(poll.looks, 3);
  EXPECT_EQ(poll.waits, (std::vector<std::uint32_t>{2000, 2000}));

  // Ended before the call: one look, no wait; a file there is still found.
  Poll after;
  EXPECT_FALSE(PollForFileWhileRunning([&] { return ++after.looks, false; }, [] { return true; },
                                       [&](std::uint32_t ms) { after.waits.push_back(ms); }));
  EXPECT_EQ(after.looks, 1);
  EXPECT_TRUE(after.waits.empty());
  EXPECT_TRUE(PollForFileWhileRunning([] { return true; }, [] { return true; },
                                      [](std::uint32_t) { FAIL() << "waited"; }));

  // A file written just before the end is seen by the look after it.
  int looks = 0;
  EXPECT_TRUE(PollForFileWhileRunning([&] { return ++looks == 2; }, [&] { return looks >= 1; },
                                      [](std::uint32_t) {}));

  // While the script runs: 15 looks, 2 s after each miss, as WaitForFile.
  Poll running;
  EXPECT_FALSE(PollForFileWhileRunning([&] { return ++running.looks, false; }, [] { return false; },
                                       [&](std::uint32_t ms) { running.waits.push_back(ms); }));
  EXPECT_EQ(running.looks, 15);
  EXPECT_EQ(running.waits, std::vector<std::uint32_t>(15, 2000));
}

}  // namespace

}  // namespace kq::test
