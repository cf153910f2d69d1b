// kqports' one flow driven through edges of the test's own: what goes to
// which stream, the exit codes, and what --watch prints, asks and ends on.
#include <gtest/gtest.h>

#include "console/flow.h"
#include "tests/tree_fixture.h"

namespace kq::test {

namespace {

// A system whose devices are the simulated trees given, one per reading.
struct FakeSystem {
  ConsolePlatform platform = ConsolePlatform::kWindows;
  std::vector<std::string> trees{kOneUnit};  // each reading takes the next; the last stays
  bool unreadable = false;                   // the first reading fails
  size_t stopAtCheck = SIZE_MAX;             // the check stopped by Ctrl+C, counted from 0
  std::vector<WriteOutcome> writes;          // each write's outcome in turn; then whole
  std::vector<Waited> waits;                 // each wait's outcome in turn; then stopped
  std::vector<ReportNames> names;            // each check's system names in turn; the last stays
  std::wstring cannotWatch;

  std::wstring out, err;
  size_t outWrites = 0, readings = 0, waited = 0, ends = 0;
  std::vector<std::pair<bool, bool>> checks;  // devicesChanged and uses of each check
};

ConsoleEdges EdgesOf(FakeSystem& s) {
  ConsoleEdges edges;
  edges.platform = s.platform;
  edges.writeOut = [&s](std::wstring_view text) {
    const WriteOutcome outcome = s.outWrites < s.writes.size() ? s.writes[s.outWrites] : WriteOutcome{};
    ++s.outWrites;
    if (outcome.written == Written::kWhole) s.out += text;
    return outcome;
  };
  edges.writeErr = [&s](std::wstring_view text) { s.err += text; };
  edges.now = [] { return LocalTime{2025, 3, 9, 14, 3, 7, 60}; };
  edges.versionText = [] { return std::wstring(L"kqports 9.9\n"); };
  edges.check = [&s](const ConsoleOptions& options, bool devicesChanged, bool uses,
                     std::optional<ConsoleReport>& report) {
    const size_t at = s.checks.size();
    s.checks.emplace_back(devicesChanged, uses);
    if (devicesChanged) {
      const size_t reading = s.readings++;
      if (reading == 0 && s.unreadable) {
        report.reset();
        s.err += L"cannot read\n";
      } else {
        loadTree(s.trees[std::min(reading, s.trees.size() - 1)]);
        report = EnumerateForConsole(true, options);
      }
    }
    if (report && !s.names.empty()) report->names = s.names[std::min(at, s.names.size() - 1)];
    return at == s.stopAtCheck ? Checked::kStopped : Checked::kDone;
  };
  edges.startWatch = [&s] { return s.cannotWatch; };
  edges.wait = [&s] {
    const size_t at = s.waited++;
    return at < s.waits.size() ? s.waits[at] : Waited::kStopped;
  };
  edges.endWatch = [&s] { ++s.ends; };
  if (s.platform == ConsolePlatform::kLinux) {
    edges.systemCommand = [](const ConsoleOptions& options) -> std::optional<std::wstring> {
      if (!options.udevRules) return std::nullopt;
      return L"rules\n";
    };
  }
  return edges;
}

int RunWith(FakeSystem& s, std::vector<std::wstring> arguments) {
  return RunConsole(arguments, EdgesOf(s));
}

size_t Count(const std::wstring& text, const std::wstring& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

const WriteOutcome kReaderGone{Written::kReaderGone, L" (error 232)"};
const WriteOutcome kFailed{Written::kFailed, L" (error 112)"};

}  // namespace

TEST(ConsoleFlow, UsageHelpVersionAndSystemCommandsNeedNoDevices) {
  FakeSystem bad;
  EXPECT_EQ(RunWith(bad, {L"--bogus"}), kExitBadUsage);
  EXPECT_EQ(bad.out, L"");
  EXPECT_EQ(bad.err, UsageErrorText(ParseArguments({L"--bogus"}, ConsolePlatform::kWindows)));
  EXPECT_TRUE(bad.checks.empty());

  FakeSystem version;
  EXPECT_EQ(RunWith(version, {L"--version"}), kExitOk);
  EXPECT_EQ(version.out, L"kqports 9.9\n");
  FakeSystem full;
  full.writes = {kFailed};
  EXPECT_EQ(RunWith(full, {L"--help"}), kExitFailure);

  // Linux's --udev-rules prints what the system gives, not a report; Windows
  // has no such option.
  FakeSystem onLinux;
  onLinux.platform = ConsolePlatform::kLinux;
  EXPECT_EQ(RunWith(onLinux, {L"--udev-rules"}), kExitOk);
  EXPECT_EQ(onLinux.out, L"rules\n");
  EXPECT_TRUE(onLinux.checks.empty());
  FakeSystem windows;
  EXPECT_EQ(RunWith(windows, {L"--udev-rules"}), kExitBadUsage);
  EXPECT_EQ(windows.out, L"");
}

TEST(ConsoleFlow, OneReportExitsByItsUnitsOrFailsWhenItCannotBeReadOrWritten) {
  FakeSystem one;
  EXPECT_EQ(RunWith(one, {}), kExitOk);
  EXPECT_NE(one.out.find(L"COM9"), std::wstring::npos) << one.out;
  EXPECT_EQ(one.err, L"");
  EXPECT_EQ(one.checks, (std::vector<std::pair<bool, bool>>{{true, true}}));
  FakeSystem json;
  EXPECT_EQ(RunWith(json, {L"--json"}), kExitOk);
  EXPECT_NE(json.out.find(L"\"time\": \"2025-03-09T14:03:07+01:00\""), std::wstring::npos)
      << json.out;

  FakeSystem none;
  none.trees = {""};
  EXPECT_EQ(RunWith(none, {}), kExitNoUnit);
  EXPECT_NE(none.out.find(L"not found"), std::wstring::npos) << none.out;

  FakeSystem unreadable;
  unreadable.unreadable = true;
  EXPECT_EQ(RunWith(unreadable, {}), kExitFailure);
  EXPECT_EQ(unreadable.outWrites, 0u);
  EXPECT_EQ(unreadable.err, L"cannot read\n");

  // A reader gone is a failure of a report printed once.
  for (const WriteOutcome& outcome : {kReaderGone, kFailed}) {
    FakeSystem closed;
    closed.writes = {outcome};
    EXPECT_EQ(RunWith(closed, {}), kExitFailure);
    EXPECT_EQ(closed.err, L"");
  }
}

TEST(ConsoleFlow, RoleAndForAnswerOnTheirStreamsWithoutLookingAtUses) {
  FakeSystem role;
  EXPECT_EQ(RunWith(role, {L"--role", L"cat"}), kExitOk);
  EXPECT_EQ(role.out, L"COM9\n");
  EXPECT_EQ(role.err, L"");
  EXPECT_EQ(role.checks, (std::vector<std::pair<bool, bool>>{{true, false}}));

  // Nothing for standard output: not even an empty write, which fails on a
  // closed handle.
  FakeSystem none;
  none.trees = {""};
  none.writes = {kFailed};
  EXPECT_EQ(RunWith(none, {L"--role", L"cat"}), kExitNoUnit);
  EXPECT_EQ(none.outWrites, 0u);
  EXPECT_NE(none.err, L"");

  FakeSystem settings;
  EXPECT_EQ(RunWith(settings, {L"--for", L"rigctld"}), kExitOk);
  EXPECT_NE(settings.out.find(L"COM9"), std::wstring::npos) << settings.out;
  EXPECT_EQ(settings.checks, (std::vector<std::pair<bool, bool>>{{true, false}}));
  FakeSystem full;
  full.writes = {kFailed};
  EXPECT_EQ(RunWith(full, {L"--role", L"cat"}), kExitFailure);
}

TEST(ConsoleWatch, PrintsEachChangeOnceAndReadsTheDevicesOnlyAfterOne) {
  FakeSystem s;
  s.trees = {kOneUnit, "", ""};
  s.waits = {Waited::kTimedOut, Waited::kChanged, Waited::kChanged};
  EXPECT_EQ(RunWith(s, {L"--watch"}), kExitOk);
  EXPECT_EQ(s.checks, (std::vector<std::pair<bool, bool>>{
                          {true, true}, {false, true}, {true, true}, {true, true}}));
  EXPECT_EQ(s.readings, 3u);
  EXPECT_EQ(s.outWrites, 2u);  // the unit, then its absence
  EXPECT_EQ(Count(s.out, L"2025-03-09T14:03:07+01:00"), 2u) << s.out;
  EXPECT_LT(s.out.find(L"COM9"), s.out.find(L"not found")) << s.out;
  EXPECT_EQ(s.err, L"");
  EXPECT_EQ(s.ends, 1u);

  // Devices that cannot be read are said, and read again after the next change.
  FakeSystem unreadable;
  unreadable.unreadable = true;
  unreadable.waits = {Waited::kTimedOut, Waited::kChanged};
  EXPECT_EQ(RunWith(unreadable, {L"--watch"}), kExitOk);
  EXPECT_EQ(unreadable.readings, 2u);
  EXPECT_EQ(unreadable.outWrites, 1u);
  EXPECT_EQ(unreadable.err, L"cannot read\n");
}

// A change only the JSON shows (ModemManager running, where the port is
// marked for it to leave alone) is a JSON report, and no text report that
// would say again what the last one said.
TEST(ConsoleWatch, PrintsNoReportThatSaysNothingNew) {
  ReportNames left, running;
  left[w(kCat)].use.emplace().modemManagerIgnores = true;
  running = left;
  running[w(kCat)].use->modemManagerRunning = true;
  for (const bool json : {false, true}) {
    FakeSystem s;
    s.names = {left, running};
    s.waits = {Waited::kTimedOut, Waited::kTimedOut, Waited::kTimedOut};
    EXPECT_EQ(RunWith(s, json ? std::vector<std::wstring>{L"--watch", L"--json"}
                              : std::vector<std::wstring>{L"--watch"}),
              kExitOk);
    EXPECT_EQ(s.checks.size(), 4u);
    EXPECT_EQ(s.outWrites, json ? 2u : 1u) << s.out;
  }
}

TEST(ConsoleWatch, EndsOnAStopOrAReaderGoneQuietlyAndOnAFailedWriteWithItsError) {
  // The first write ends the watch; only a failure says why. A stop during
  // a write that the output did not take (a full pipe) ends it as Ctrl+C.
  const struct {
    WriteOutcome outcome;
    int exitCode;
    std::wstring err;
  } ends[] = {{kReaderGone, kExitOk, L""},
              {{Written::kStopped, {}}, kExitOk, L""},
              {kFailed, kExitFailure, L"kqports: cannot write the report (error 112)\n"}};
  for (const auto& end : ends) {
    FakeSystem s;
    s.writes = {end.outcome};
    s.waits = {Waited::kChanged};
    EXPECT_EQ(RunWith(s, {L"--watch"}), end.exitCode);
    EXPECT_EQ(s.err, end.err);
    EXPECT_EQ(s.waited, 0u);
    EXPECT_EQ(s.ends, 1u);
  }

  // Stopped during a look at the ports' use: that report is not printed.
  FakeSystem stopped;
  stopped.trees = {kOneUnit, ""};
  stopped.waits = {Waited::kChanged};
  stopped.stopAtCheck = 1;
  EXPECT_EQ(RunWith(stopped, {L"--watch"}), kExitOk);
  EXPECT_EQ(stopped.outWrites, 1u);
  EXPECT_EQ(stopped.checks.size(), 2u);
  EXPECT_EQ(stopped.ends, 1u);

  FakeSystem cannot;
  cannot.cannotWatch = L"no pipe";
  EXPECT_EQ(RunWith(cannot, {L"--watch"}), kExitFailure);
  EXPECT_EQ(cannot.err, L"kqports: cannot watch: no pipe\n");
  EXPECT_TRUE(cannot.checks.empty());
  EXPECT_EQ(cannot.ends, 0u);
}

}  // namespace kq::test
