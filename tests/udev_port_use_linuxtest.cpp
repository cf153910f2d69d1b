// Who holds a port and who may open it: /proc read from its links, the
// sentence for a port the user may not open, and how the text and --watch
// show them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/render.h"
#include "tests/tree_fixture.h"
#include "udev/port_use.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;
using udev::NodeAccess;
using udev::Process;
using udev::ProcessTable;

struct FakeProc {
  fs::path root = fs::temp_directory_path() / ("kq-proc-" + std::to_string(getpid()));
  FakeProc() { fs::create_directories(root); }
  ~FakeProc() { fs::remove_all(root); }
  FakeProc(const FakeProc&) = delete;
  FakeProc& operator=(const FakeProc&) = delete;

  // A process with its comm and, unless `files` is null, an fd folder of links.
  void add(long pid, const std::string& comm, const std::vector<std::string>* files) {
    const fs::path folder = root / std::to_string(pid);
    fs::create_directories(folder);
    std::ofstream(folder / "comm") << comm;
    if (!files) return;
    fs::create_directories(folder / "fd");
    int fd = 0;
    for (const std::string& target : *files)
      fs::create_symlink(target, folder / "fd" / std::to_string(fd++));
  }
};

TEST(PortUse, ProcessesAreReadFromTheirFileLinksAndTheOthersCounted) {
  FakeProc proc;
  const std::vector<std::string> logger = {"/dev/ttyUSB0", "/home/op/log.adi", "socket:[123]",
                                           "/dev/pts/kq2"};
  const std::vector<std::string> keyer = {"/dev/ttyACM1"};
  const std::vector<std::string> self = {"/dev/ttyUSB0"};
  proc.add(4242, "flrig\n", &logger);
  proc.add(77, "keyer\x1b[2J\n", &keyer);  // a name with a terminal escape in it
  proc.add(1, "ModemManager\n", nullptr);  // another user's: no fd folder to read
  proc.add(getpid(), "kqports\n", &self);  // this process: never its own holder
  fs::create_directories(proc.root / "self");
  std::ofstream(proc.root / "uptime") << "1.0";

  const ProcessTable table = udev::ReadProcesses(proc.root.string());
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].pid, 1);
  EXPECT_FALSE(table[0].inspected);
  EXPECT_EQ(table[1].command, "keyer\x1b[2J");
  std::vector<std::string> files = table[2].files;
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"/dev/pts/kq2", "/dev/ttyUSB0"}))
      << "only the links below /dev/ are kept";

  const std::vector<PortHolder> holders = udev::HoldersOf(table, {"/dev/ttyUSB0"});
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 4242);
  EXPECT_EQ(holders[0].command, L"flrig");
  // A node that is a link (a test bed's pty) is held through its target too.
  EXPECT_EQ(udev::HoldersOf(table, {"/dev/ttyUSB9", "/dev/pts/kq2"}).size(), 1u);
  EXPECT_TRUE(udev::HoldersOf(table, {"/dev/ttyUSB"}).empty()) << "whole paths only";
  EXPECT_EQ(udev::UninspectedCount(table), 1);
  EXPECT_TRUE(udev::ModemManagerRuns(table));
  EXPECT_TRUE(udev::ReadProcesses((proc.root / "none").string()).empty());
}

// A process in another mount namespace holds the port by a path of its own:
// it is found by the device number its link leads to. A process with more
// open files than are read counts as not inspected.
TEST(PortUse, HoldersAreFoundByDeviceNumberAndHoardersCountedAsNotInspected) {
  FakeProc proc;
  struct stat null {};
  ASSERT_EQ(stat("/dev/null", &null), 0);
  fs::create_symlink("/dev/null", proc.root / "radio");
  const std::vector<std::string> contained = {(proc.root / "radio").string(), "/etc/hostname"};
  const std::vector<std::string> hoarder(10, "/dev/ttyACM0");
  proc.add(300, "wsjtx\n", &contained);
  proc.add(400, "hoarder\n", &hoarder);

  ProcessTable table = udev::ReadProcesses(proc.root.string(), 4);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_TRUE(table[0].files.empty()) << "its link does not lie below /dev/";
  const std::vector<PortHolder> holders =
      udev::HoldersOf(table, {"/dev/ttyUSB0"}, {static_cast<unsigned long long>(null.st_rdev)});
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 300);
  EXPECT_TRUE(udev::HoldersOf(table, {"/dev/ttyUSB0"}).empty());
  EXPECT_TRUE(table[0].inspected);
  EXPECT_FALSE(table[1].inspected) << "4 of its 10 files read, the rest not looked at";
  EXPECT_LE(table[1].files.size(), 4u);
  EXPECT_EQ(udev::UninspectedCount(table), 1);
  table = udev::ReadProcesses(proc.root.string(), 10);
  EXPECT_EQ(udev::UninspectedCount(table), 0) << "all ten read when ten may be";
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
  return ConsoleText({UnitList(true, true), report, true, std::nullopt, names},
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
            L"in again.\n");
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
  EXPECT_FALSE(ReportChanged(watch, report, &counted));
  EXPECT_FALSE(ReportChanged(watch, report, &counted));
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
