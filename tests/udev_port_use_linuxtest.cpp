// Who holds a port and who may open it: /proc read by its device numbers,
// the sentence for a port the user may not open, and how the text and
// --watch show them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/render.h"
#include "tests/fake_proc.h"
#include "tests/tree_fixture.h"
#include "udev/port_use.h"

namespace kq::test {
namespace {

using udev::NodeAccess;
using udev::Process;
using udev::ProcessTable;

unsigned long long deviceNumber(const char* path) {
  struct stat status {};
  EXPECT_EQ(stat(path, &status), 0) << path;
  return status.st_rdev;
}

TEST(PortUse, HoldersAreFoundByDeviceNumberAndNeverByALinksText) {
  FakeProc proc;
  const std::vector<std::string> logger = {"/dev/null", "/etc/hostname", "socket:[123]",
                                           "/dev/full"};
  // A link that leads nowhere here but whose text names the port: a /dev of
  // the process's own mount namespace, where anything can be that path.
  const std::vector<std::string> faker = {"/dev/ttyUSB0", "/dev/kq-not-there"};
  const std::vector<std::string> self = {"/dev/null"};
  proc.add(kFakePid + 4242, "flrig\n", &logger);
  proc.add(kFakePid + 77, "flrig\x1b[2J\n", &faker);  // a name with a terminal escape in it
  proc.add(kFakePid + 1, "ModemManager\n", nullptr);
  proc.add(getpid(), "kqports\n", &self);  // this process: never its own holder
  fs::create_directories(proc.root / "self");
  std::ofstream(proc.root / "uptime") << "1.0";

  const udev::DeviceNumbers wanted = {deviceNumber("/dev/null"), deviceNumber("/dev/zero")};
  const ProcessTable table = udev::ReadProcesses(proc.root.string(), wanted);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].pid, kFakePid + 1);
  EXPECT_EQ(table[0].unread, udev::Unread::kNotAllowed);
  EXPECT_EQ(table[1].command, "flrig\x1b[2J");
  EXPECT_TRUE(table[1].devices.empty()) << "links that lead nowhere are no devices";
  EXPECT_EQ(table[2].devices, udev::DeviceNumbers{deviceNumber("/dev/null")})
      << "only the devices looked for are kept";

  const std::vector<PortHolder> holders = udev::HoldersOf(table, {deviceNumber("/dev/null")});
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, kFakePid + 4242);
  EXPECT_EQ(holders[0].command, L"flrig");
  EXPECT_TRUE(udev::HoldersOf(table, {deviceNumber("/dev/zero")}).empty());
  EXPECT_EQ(udev::UninspectedCount(table), 1);
  EXPECT_TRUE(udev::ModemManagerRuns(table));
  EXPECT_TRUE(udev::ReadProcesses((proc.root / "none").string(), wanted).empty());
}

// O_PATH opens a node without any permission on it and can neither read,
// write nor set a line: whoever holds the port only so holds nothing.
TEST(PortUse, AFileOpenedWithOPathAloneHoldsNothing) {
  FakeProc proc;
  const std::vector<std::string> files = {"/dev/null", "/dev/zero"};
  proc.add(kFakePid + 10, "impostor\n", &files);
  proc.flags(kFakePid + 10, 0, O_PATH | O_CLOEXEC);
  proc.flags(kFakePid + 10, 1, O_RDWR | O_NOCTTY);
  const udev::DeviceNumbers wanted = {deviceNumber("/dev/null"), deviceNumber("/dev/zero")};
  ProcessTable table = udev::ReadProcesses(proc.root.string(), wanted);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].devices, udev::DeviceNumbers{deviceNumber("/dev/zero")});

}

// A process whose open files the system shows not even to root (a security
// module's rule: here Landlock's, which keeps a sandboxed process from
// looking into any process outside its sandbox) counts as not looked at,
// never as one that holds nothing.
TEST(PortUse, AProcessWhoseFilesTheSystemKeepsFromTheLookIsCounted) {
  int answer[2];
  ASSERT_EQ(pipe(answer), 0);
  const pid_t child = fork();
  if (child == 0) {
    landlock_ruleset_attr rules{};
    rules.handled_access_fs = LANDLOCK_ACCESS_FS_EXECUTE;
    const int ruleset =
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0));
    char state = 'n';  // no Landlock here
    if (ruleset >= 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
        syscall(SYS_landlock_restrict_self, ruleset, 0) == 0) {
      const ProcessTable table = udev::ReadProcesses("/proc", {deviceNumber("/dev/null")});
      state = 'g';  // the parent not in the table
      for (const Process& process : table)
        if (process.pid == getppid())
          state = static_cast<char>('0' + static_cast<int>(process.unread));
    }
    _exit(write(answer[1], &state, 1) == 1 ? 0 : 1);
  }
  char state = 0;
  const bool answered = read(answer[0], &state, 1) == 1;
  waitpid(child, nullptr, 0);
  close(answer[0]);
  close(answer[1]);
  ASSERT_TRUE(answered);
  if (state == 'n') GTEST_SKIP() << "no Landlock on this system";
  EXPECT_EQ(state, '0' + static_cast<int>(udev::Unread::kNotAllowed));
}

// A process with more open files than are read, and those reached after
// the look's time ran out, count as not inspected; their names are read.
TEST(PortUse, HoardersAndLateProcessesCountAsNotInspected) {
  FakeProc proc;
  fs::create_symlink("/dev/null", proc.root / "radio");
  const std::vector<std::string> contained = {(proc.root / "radio").string(), "/etc/hostname"};
  const std::vector<std::string> hoarder(10, "/dev/null");
  proc.add(kFakePid + 300, "wsjtx\n", &contained);
  proc.add(kFakePid + 400, "hoarder\n", &hoarder);
  const udev::DeviceNumbers null = {deviceNumber("/dev/null")};

  ProcessTable table = udev::ReadProcesses(proc.root.string(), null, 4);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(udev::HoldersOf(table, null).size(), 2u)
      << "a link to a link to the device is the device";
  EXPECT_EQ(table[0].unread, udev::Unread::kNone);
  EXPECT_EQ(table[1].unread, udev::Unread::kTooMany) << "4 of its 10 files read";
  EXPECT_EQ(table[1].devices, null) << "each device once";
  table = udev::ReadProcesses(proc.root.string(), null, 10);
  EXPECT_EQ(udev::UninspectedCount(table), 0) << "all ten read when ten may be";

  table = udev::ReadProcesses(proc.root.string(), null, 10,
                              std::chrono::steady_clock::now() - std::chrono::seconds(1));
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(udev::UninspectedCount(table, udev::Unread::kOutOfTime), 2);
  EXPECT_EQ(table[1].command, "hoarder");
  EXPECT_TRUE(table[1].devices.empty());
}

TEST(PortUse, TheSentenceOnProcessesNotLookedAtSaysWhyAndWhatToDo) {
  ProcessTable table = {{1, "a", {}, udev::Unread::kNone}};
  EXPECT_EQ(udev::UninspectedHelp(table), L"");
  table.push_back({2, "b", {}, udev::Unread::kNotAllowed});
  EXPECT_EQ(udev::UninspectedHelp(table),
            L"Not looked at for holders of the ports: 1 process of other users, which only root "
            L"may look at (sudo kqports looks at them too); any of them may hold a port.");
  EXPECT_EQ(udev::UninspectedHelp(table, {udev::Hidden::kNone, true}),
            L"Not looked at for holders of the ports: 1 process the system lets not even root "
            L"look at; any of them may hold a port.")
      << "root is told no sudo";
  table.push_back({3, "c", {}, udev::Unread::kNotAllowed});
  table.push_back({4, "d", {}, udev::Unread::kTooMany});
  table.push_back({5, "e", {}, udev::Unread::kOutOfTime});
  EXPECT_EQ(udev::UninspectedHelp(table),
            L"Not looked at for holders of the ports: 2 processes of other users, which only root "
            L"may look at (sudo kqports looks at them too), 1 process with more than 4096 open "
            L"files and 1 process the look had no time left for; any of them may hold a port.");

  // Processes /proc hides are said even where none was counted: no count
  // of them exists.
  table.resize(1);
  EXPECT_EQ(udev::UninspectedHelp(table, {udev::Hidden::kByMount, false}),
            L"Not looked at for holders of the ports: every process of other users, which /proc "
            L"hides from you (it is mounted with hidepid; sudo kqports sees them); any of them "
            L"may hold a port.");
  EXPECT_NE(udev::UninspectedHelp(table, {udev::Hidden::kByNamespace, true})
                .find(L"every process outside the pid namespace kqports runs in"),
            std::wstring::npos);
  EXPECT_EQ(udev::HiddenWord(udev::Hidden::kByMount), L"hidepid");
  EXPECT_EQ(udev::HiddenWord(udev::Hidden::kByNamespace), L"pidNamespace");
  EXPECT_EQ(udev::HiddenWord(udev::Hidden::kNone), L"");
}

TEST(PortUse, TheAccessSentenceNamesWhoMayOpenItAndTheWayIn) {
  NodeAccess node;
  EXPECT_EQ(udev::AccessHelp(node), L"") << "nothing to say when the user may open it";

  node.mayOpen = false;
  node.mode = 0660;
  node.owner = "root";
  node.group = "dialout";
  const std::wstring join = udev::AccessHelp(node);
  EXPECT_EQ(join.substr(0, join.find(L';')),
            L"only root and the group dialout may open it: sudo usermod -aG dialout $USER, then "
            L"log out and in again");
  EXPECT_NE(join.find(L"install the udev rules (kqports --udev-rules)"), std::wstring::npos);

  node.inGroupListed = true;
  EXPECT_EQ(udev::AccessHelp(node).find(L"the group dialout may open it, and you joined dialout "
                                        L"after this login began: log out and in again"),
            0u);
  node.inGroupNow = true;
  EXPECT_NE(udev::AccessHelp(node).find(L"you are in it, yet the system refuses"),
            std::wstring::npos);

  // A group that may only read, or root's group, grants nothing to join.
  node = {};
  node.mayOpen = false;
  node.owner = "root";
  node.group = "tty";
  node.mode = 0620;
  EXPECT_EQ(udev::AccessHelp(node).find(L"only root may open it;"), 0u);
  node.mode = 0660;
  node.group = "root";
  EXPECT_EQ(udev::AccessHelp(node).find(L"only root may open it;"), 0u);

  // What the rules do for the user at the desk: already tagged (this is
  // another login), installed but not yet applied, or not installed.
  node.uaccess = true;
  EXPECT_NE(udev::AccessHelp(node).find(L"this login is not that one"), std::wstring::npos);
  node.uaccess = false;
  node.rulesInstalled = true;
  EXPECT_NE(udev::AccessHelp(node).find(L"plug the unit in again: the installed udev rules"),
            std::wstring::npos);
}

PortUse heldBy(std::vector<PortHolder> holders) {
  PortUse use;
  use.holders = std::move(holders);
  return use;
}

// kqports' text of a report with the system's names.
std::wstring textOf(const Report& report, const ReportNames& names) {
  loadTree("");
  return ConsoleText({UnitList(true, true), report, true, std::nullopt, names, {}, {}},
                     HelpSystem::kLinux);
}

ReportItem portLine(Role role, const wchar_t* node, const wchar_t* id) {
  return {LineKind::kRole, role, Walk::kMcu, 0, node, id};
}

TEST(PortUse, TextShowsWhatToActOnUnderItsPortAndNothingElse) {
  Report report = {{LineKind::kHeader, Role::kCat, Walk::kMcu, 0, L"40117", L""},
                   portLine(Role::kCat, L"/dev/ttyUSB0", L"CAT"),
                   portLine(Role::kPtt, L"/dev/ttyUSB1", L"PTT"),
                   portLine(Role::kFsk, L"/dev/ttyACM1", L"FSK")};
  ReportNames names;
  names[L"CAT"].use = heldBy({{4242, L"flrig"}, {77, L"keyer\x1b[2J"}});
  names[L"PTT"].use = PortUse{};
  names[L"PTT"].use->uninspected = 12;  // a count alone is nothing to act on
  names[L"PTT"].use->uninspectedHelp = L"Not looked at: 12 processes.";
  names[L"CAT"].use->uninspectedHelp = L"Not looked at: 12 processes.";
  PortUse& fsk = names[L"FSK"].use.emplace();
  fsk.mayOpen = false;
  fsk.accessHelp = L"only root may open it";
  fsk.modemManagerRunning = true;

  EXPECT_EQ(textOf(report, names),
            L"Quorvanta KQ6200 S/N 40117\n"
            L"    CAT Port     - /dev/ttyUSB0\n"
            L"        open in flrig (pid 4242), keyer [2J (pid 77)\n"
            L"    PTT/CW Port  - /dev/ttyUSB1\n"
            L"    FSK Port     - /dev/ttyACM1\n"
            L"        you may not open it: only root may open it.\n"
            L"        ModemManager is running and may probe this port with AT commands, which can "
            L"key the transmitter: install the udev rules (kqports --udev-rules) and plug the unit "
            L"in again.\n"
            L"Not looked at: 12 processes.\n")
      << "the processes not looked at are said once, after the units";
  fsk.modemManagerIgnores = true;
  EXPECT_EQ(textOf(report, names).find(L"ModemManager"), std::wstring::npos);
}

TEST(PortUse, WatchReportsAChangeOfHoldersOnceItHasSettled) {
  const ReportList report = {{L"    CAT Port \t - /dev/ttyUSB0", L"CAT"}};
  ReportNames free, one, two;
  free[L"CAT"].use = heldBy({});
  one[L"CAT"].use = heldBy({{4242, L"flrig"}});
  two[L"CAT"].use = heldBy({{4242, L"flrig"}, {4250, L"wsjtx"}});
  ReportWatch watch;
  EXPECT_TRUE(ReportChanged(watch, report, &free)) << "the first report";
  EXPECT_FALSE(ReportChanged(watch, report, &free));
  // One program opens the port, a second follows a check later: one report,
  // when the holders have stayed the same for a check.
  EXPECT_FALSE(ReportChanged(watch, report, &one));
  EXPECT_FALSE(ReportChanged(watch, report, &two));
  EXPECT_TRUE(ReportChanged(watch, report, &two));
  EXPECT_FALSE(ReportChanged(watch, report, &two));
  // Other users' processes coming and going change nothing to act on.
  ReportNames counted = two;
  counted[L"CAT"].use->uninspected = 40;
  counted[L"CAT"].use->uninspectedHelp = L"40 processes";
  EXPECT_FALSE(ReportChanged(watch, report, &counted));
  EXPECT_TRUE(ReportChanged(watch, report, &counted)) << "some not looked at, where none were";
  counted[L"CAT"].use->uninspected = 41;
  counted[L"CAT"].use->uninspectedHelp = L"41 processes";
  EXPECT_FALSE(ReportChanged(watch, report, &counted)) << "how many is no change";
  counted[L"CAT"].use->hiddenProcesses = L"hidepid";
  EXPECT_FALSE(ReportChanged(watch, report, &counted));
  EXPECT_TRUE(ReportChanged(watch, report, &counted)) << "processes hidden, where none were";
  // Holders that keep changing are reported after kMostUnsettledChecks checks.
  int checks = 0;
  bool printed = false;
  while (!printed && checks < 10) printed = ReportChanged(watch, report, ++checks % 2 ? &one : &free);
  EXPECT_TRUE(printed);
  EXPECT_EQ(checks, kMostUnsettledChecks);
  // A change of the report itself is printed at once.
  EXPECT_TRUE(ReportChanged(watch, {{L"    CAT Port \t - /dev/ttyUSB2", L"CAT"}}, &one));
}

}  // namespace
}  // namespace kq::test
