#include <gtest/gtest.h>

#include "sim/generated_tree.h"
#include "tests/tree_fixture.h"
#include "units/unit_list.h"

namespace kq::test {

namespace {

// The example unit again, on another hub of the same root hub, with other
// IDs, serial 67890 and ports COM17..COM20.
std::string secondUnit() {
  std::string unit = kOneUnit.substr(kOneUnit.find('\n') + 1);
  const std::pair<const char*, const char*> renames[] = {
      {"205112345", "205167890"}, {"5&3A1F2C", "5&4B2E3D"},   {"6&1A2B3C4", "6&9A2B3C4"},
      {"KQ6A1B2C", "KQ6Z9Y8X"},   {"6&2B3C4D5", "6&8B3C4D5"}, {"6&3C4D5E6", "6&7C4D5E6"},
      {"{6a7c", "{1a7c"},         {"{7b8d", "{2b8d"},         {"(COM7)", "(COM17)"},
      {"(COM8)", "(COM18)"},      {"(COM9)", "(COM19)"},      {"(COM10)", "(COM20)"}};
  for (const auto& [from, to] : renames) {
    for (size_t at = unit.find(from); at != std::string::npos; at = unit.find(from, at + 1))
      unit.replace(at, std::string(from).size(), to);
  }
  return unit;
}

// A refresh runs every second: what it costs must depend on the units
// attached, not on how many other USB devices the machine has ever seen.
TEST(Enumeration, CallsDoNotGrowWithOtherUsbDevices) {
  // Calls per enumeration for 0, 1 and 4 units. Each of the five attempts
  // that end it is an exact locate that fails and one class list (size query
  // and fetch): 15 calls. Each unit found adds 157, its walk included.
  const std::pair<int, uint64_t> expected[] = {{0, 15}, {1, 15 + 157}, {4, 15 + 4 * 157}};
  for (const auto& [units, calls] : expected) {
    for (int others : {50, 500, 5000}) {
      loadTree(kq::sim::generatedTree(units, others));
      const UnitList list(true, true);
      EXPECT_EQ(list.units.size(), static_cast<size_t>(units));
      EXPECT_EQ(kq::sim::callCounts().total(), calls) << units << " units, " << others << " others";
    }
  }
}

TEST(Enumeration, NoUnitMakesFiveAttemptsAndSaysNotFound) {
  loadTree("USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n");
  const UnitList list(true, true);
  EXPECT_EQ(list.attempts, 5);
  EXPECT_TRUE(list.units.empty());
  const kq::ReportList report = list.fullReport();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].text, L"Quorvanta KQ-6200 not found");
  EXPECT_EQ(report[0].id, L"");
}

TEST(Enumeration, UnitsInClassListOrderEachClaimedOnce) {
  loadTree(kOneUnit + secondUnit());
  const UnitList list(true, true);
  EXPECT_EQ(list.attempts, 7);
  ASSERT_EQ(list.units.size(), 2u);
  EXPECT_EQ(list.claimedIds, (kq::IdList{w(kMcu), L"USB\\VID_0483&PID_A1DF\\205167890"}));
  const kq::ReportList report = list.fullReport();
  ASSERT_EQ(report.size(), 14u);
  EXPECT_EQ(report[0].text, L"Quorvanta KQ6200 S/N 12345");
  EXPECT_EQ(report[7].text, L"Quorvanta KQ6200 S/N 67890");
  EXPECT_EQ(report[8].text, L"    CAT Port \t - COM19");
  EXPECT_EQ(report[11].text, L"    WinKey Port \t - COM17");
}

TEST(Enumeration, UnitsWithoutDriversAreStillClaimed) {
  loadTree(kOneUnit + secondUnit());
  const UnitList list(true, false);
  ASSERT_EQ(list.units.size(), 2u);
  const kq::ReportList report = list.fullReport();
  EXPECT_EQ(report[3].text, L"    MCU ErrorCode: 8");
  ASSERT_EQ(report.size(), 12u);  // six rows a unit: the MCU section is one error line
  EXPECT_EQ(report[9].text, L"    MCU ErrorCode: 8");
}

TEST(Enumeration, AnIdTooShortForASerialDoesNotHideLaterUnits) {
  // A present MCU function whose ID is too short is listed ahead of a real unit.
  loadTree("USB\\VID_0483&PID_A1DF\\2051X desc=\"USB Composite Device\"\n" + kOneUnit);
  const UnitList list(true, true);
  ASSERT_EQ(list.units.size(), 1u);
  EXPECT_EQ(list.units[0].serial, L"12345");
  EXPECT_EQ(list.claimedIds, kq::IdList{w(kMcu)});  // the short one is claimed by nobody
  EXPECT_EQ(list.attempts, 7);  // the short one used up none of the five failures
  EXPECT_EQ(list.fullReport().size(), 7u);

  // As many short ones as the enumeration allows failures, and one more.
  std::string shortOnes;
  for (const char* id : {"2051A", "2051B", "2051C", "2051D", "2051E", "2051F"})
    shortOnes += std::string("USB\\VID_0483&PID_A1DF\\") + id + " desc=\"USB Composite Device\"\n";
  loadTree(shortOnes + kOneUnit);
  const UnitList behindSix(true, true);
  ASSERT_EQ(behindSix.units.size(), 1u);
  EXPECT_EQ(behindSix.units[0].serial, L"12345");
  EXPECT_EQ(behindSix.attempts, 6 + 1 + 5);

  // A short one that the search returns again (an ID equal to the prefix is
  // located as an exact ID, which no exclusion list stops) still ends the
  // enumeration.
  loadTree("USB\\VID_0483&PID_A1DF\\2051 desc=\"USB Composite Device\"\n");
  const UnitList again(true, true);
  EXPECT_TRUE(again.units.empty());
  EXPECT_LE(again.attempts, 6);
}

TEST(Enumeration, ADeviceNamedByTheBarePrefixDoesNotHideLaterUnits) {
  // Its ID is the search prefix itself, so locating the prefix as an exact ID
  // finds it on every attempt; on Windows 7 also in capitals, since locating
  // ignores letter case.
  const std::string barePrefix = "USB\\VID_0483&PID_A1DF\\2051 desc=\"USB Composite Device\"\n";
  loadTree(barePrefix + kOneUnit);
  const UnitList list(true, true);
  EXPECT_EQ(list.claimedIds, kq::IdList{w(kMcu)});
  // Its ID is too short to carry a serial: passed over without using up a
  // failed attempt, then the unit, then the five failures.
  EXPECT_EQ(list.attempts, 7);

  loadTree(barePrefix + replaced(kOneUnit, kMcu, R"(usb\vid_0483&pid_a1df\205112345)"));
  const UnitList win7(false, true);
  EXPECT_EQ(win7.claimedIds, kq::IdList{L"usb\\vid_0483&pid_a1df\\205112345"});
  EXPECT_EQ(win7.fullReport().size(), 6u);
}

TEST(Enumeration, AUnitPluggedInDuringTheEnumerationIsFound) {
  // The first attempt fetches the class list before the unit arrives; the
  // next attempt sees it.
  loadTree("USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n"
           "=== after 3 calls\n" +
           kOneUnit);
  const UnitList list(true, true);
  ASSERT_EQ(list.units.size(), 1u);
  EXPECT_EQ(list.units[0].mcuStatus, 0);
  EXPECT_EQ(list.attempts, 6);
}

TEST(Enumeration, AUnitUnpluggedMidWayIsReportedAsFarAsItWasSeen) {
  loadTree(kOneUnit + secondUnit() + "=== after 60 calls\n" + kOneUnit);
  const UnitList list(true, true);
  ASSERT_EQ(list.units.size(), 1u);
  EXPECT_EQ(list.units[0].serial, L"12345");
}

}  // namespace

}  // namespace kq::test
