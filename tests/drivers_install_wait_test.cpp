#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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

}  // namespace

}  // namespace kq::test
