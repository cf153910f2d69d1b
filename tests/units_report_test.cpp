#include <gtest/gtest.h>

#include "tests/tree_fixture.h"
#include "units/report.h"
#include "units/unit_list.h"

namespace kq::test {


namespace {

using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;

Pairs pairs(const ReportList& report) {
  Pairs out;
  for (const kq::ReportLine& line : report) out.emplace_back(line.text, line.id);
  return out;
}

DeviceNode portNode(const wchar_t* id, const wchar_t* port) {
  DeviceNode node;
  node.instanceId = id;
  node.portName = port;
  node.problemCode = 0;
  return node;
}

TEST(ReportLines, CompleteUnitWithEndpoints) {
  loadTree(kOneUnit);
  const ReportList report = UnitList(true, true).fullReport();
  EXPECT_EQ(pairs(report),
            (Pairs{{L"Quorvanta KQ6200 S/N 12345", L""},
                   {L"    CAT Port \t - COM9", w(kCat)},
                   {L"    PTT/CW Port \t - COM10", w(kPtt)},
                   {L"    FSK Port \t - COM8", w(kFsk)},
                   {L"    WinKey Port \t - COM7", w(kWinkey)},
                   {L"    Audio Input \t - Microphone (USB Audio CODEC)", w(kCapture)},
                   {L"    Audio Output\t - Speakers (USB Audio CODEC)", w(kRender)}}));
}

TEST(ReportLines, CompleteUnitAsOneAudioDevice) {
  loadTree(replaced(kOneUnit, kMcu, R"(usb\vid_0483&pid_a1df\205112345)"));
  const Pairs report = pairs(UnitList(false, true).fullReport());
  ASSERT_EQ(report.size(), 6u);
  EXPECT_EQ(report.back(), std::make_pair(std::wstring(L"    Audio device\t - USB Audio CODEC"), w(kMi02)));
}

TEST(ReportLines, ErrorLinesCarryNoId) {
  DeviceUnit unit;
  unit.serial = L"00042";
  unit.mcuDriversPresent = true;
  unit.mcuStatus = kq::kStatusComplete;
  unit.ftdiStatus = 9;
  unit.audioStatus = 13;
  unit.fskNode = portNode(L"F", L"COM8");
  unit.winkeyNode = portNode(L"W", L"COM7");
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Quorvanta KQ6200 S/N 00042", L""},
                                                 {L"    FTDI ErrorCode: 9", L""},
                                                 {L"    FSK Port \t - COM8", L"F"},
                                                 {L"    WinKey Port \t - COM7", L"W"},
                                                 {L"    AUDIO ErrorCode: 13", L""}}));
  unit.mcuStatus = 8;
  unit.ftdiStatus = 127;
  unit.audioStatus = 1;
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Quorvanta KQ6200 S/N 00042", L""},
                                                 {L"    FTDI ErrorCode: 127", L""},
                                                 {L"    MCU ErrorCode: 8", L""},
                                                 {L"    AUDIO ErrorCode: 1", L""}}));
}

TEST(ReportLines, NoDriversLineOnlyForACompleteMcuWalk) {
  DeviceUnit unit;
  unit.serial = L"12345";
  unit.mcuDriversPresent = false;
  unit.mcuStatus = kq::kStatusComplete;
  unit.ftdiStatus = 2;
  unit.audioStatus = 3;
  EXPECT_EQ(kq::reportLines(unit)[2].text, L"    WinKey & FSK - no drivers");
  EXPECT_EQ(kq::reportLines(unit)[2].id, L"");
}

TEST(ReportLines, UnfoundUnitIsOneErrorEntry) {
  // A record no walk has touched is not a unit, let alone a complete one.
  DeviceUnit unit;
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Error entry", L""}}));
  unit.ftdiStatus = unit.audioStatus = kq::kStatusComplete;
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Error entry", L""}}));
  unit.mcuStatus = 126;
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Error entry", L""}}));
  unit.mcuStatus = 127;
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Error entry", L""}}));
}

// Complete statuses without their nodes (never made by a walk) still give
// well-formed lines: the label alone and no ID.
TEST(ReportLines, CompleteStatusesWithoutNodesShowLabelsOnly) {
  DeviceUnit unit;
  unit.serial = L"00007";
  unit.mcuDriversPresent = true;
  unit.splitAudio = true;
  unit.mcuStatus = unit.ftdiStatus = unit.audioStatus = kq::kStatusComplete;
  unit.catNode = DeviceNode{};  // present, but with no field read
  EXPECT_EQ(pairs(kq::reportLines(unit)), (Pairs{{L"Quorvanta KQ6200 S/N 00007", L""},
                                                 {L"    CAT Port \t - ", L""},
                                                 {L"    PTT/CW Port \t - ", L""},
                                                 {L"    FSK Port \t - ", L""},
                                                 {L"    WinKey Port \t - ", L""},
                                                 {L"    Audio Input \t - ", L""},
                                                 {L"    Audio Output\t - ", L""}}));
}

TEST(ReportLines, LongNamesAreShownWhole) {
  loadTree(replaced(replaced(kOneUnit, "(COM9)", "(COM123456)"), "Speakers (USB Audio CODEC)",
                    "Speakers (" + std::string(300, 'x') + ")"));
  const ReportList report = UnitList(true, true).fullReport();
  EXPECT_EQ(report[1].text, L"    CAT Port \t - COM123456");
  EXPECT_EQ(report[6].text, L"    Audio Output\t - Speakers (" + std::wstring(300, L'x') + L")");
}

TEST(ReportLines, EndpointWithoutFriendlyNameShowsTheLabel) {
  loadTree(replaced(kOneUnit, R"x(desc="Microphone" friendly="Microphone (USB Audio CODEC)")x", R"(desc="Microphone")"));
  EXPECT_EQ(UnitList(true, true).fullReport()[5].text, L"    Audio Input \t - ");
}

// What a unit's items say of one role: the ID and name of its node, or no
// item at all (nullopt), and whether it is in order.
struct RoleSeen {
  Role role;
  std::optional<std::wstring> id;
  std::wstring name;
  bool inOrder = true;
};

void expectRoles(const Report& report, const std::vector<RoleSeen>& expected) {
  const std::vector<UnitItems> units = ReportUnits(report);
  ASSERT_EQ(units.size(), 1u);
  for (const RoleSeen& want : expected) {
    const std::wstring role(roleInfo(want.role).name);
    const ReportItem* item = RoleItem(units[0], want.role);
    ASSERT_EQ(item != nullptr, want.id.has_value()) << role;
    if (!item) continue;
    EXPECT_EQ(item->id, *want.id) << role;
    EXPECT_EQ(item->value, want.name) << role;
    EXPECT_EQ(item->inOrder, want.inOrder) << role;
  }
}

// Each role's item names its own node, whichever of the codec's endpoints
// Windows lists first, and without split audio the codec's interface is
// both audio roles.
TEST(RoleItems, EachRoleNamesItsOwnNode) {
  const std::vector<RoleSeen> ports = {{Role::kCat, w(kCat), L"COM9"},
                                       {Role::kPtt, w(kPtt), L"COM10"},
                                       {Role::kFsk, w(kFsk), L"COM8"},
                                       {Role::kWinkey, w(kWinkey), L"COM7"}};
  std::vector<RoleSeen> split = ports;
  split.push_back({Role::kAudioIn, w(kCapture), L"Microphone (USB Audio CODEC)"});
  split.push_back({Role::kAudioOut, w(kRender), L"Speakers (USB Audio CODEC)"});
  for (const bool captureFirst : {false, true}) {
    SCOPED_TRACE(captureFirst ? "capture first" : "render first");
    const std::string endpoints = std::string("children=") + kCapture + "|" + kRender;
    loadTree(captureFirst ? edited(kOneUnit, {{kMi02, endpoints}}) : kOneUnit);
    expectRoles(UnitList(true, true).report(), split);
  }
  loadTree(replaced(kOneUnit, kMcu, R"(usb\vid_0483&pid_a1df\205112345)"));
  std::vector<RoleSeen> legacy = ports;
  legacy.push_back({Role::kAudioIn, w(kMi02), L"USB Audio CODEC"});
  legacy.push_back({Role::kAudioOut, w(kMi02), L"USB Audio CODEC"});
  expectRoles(UnitList(false, true).report(), legacy);
}

// A role's node that is missing or was not found is shown, with what it has,
// but is not in order; a walk that stopped short, or the maker's drivers
// missing, shows none of its roles, and its code stays with the unit.
TEST(RoleItems, MissingAndUnfoundNodesAreShownButNotInOrder) {
  DeviceUnit unit;
  unit.serial = L"00042";
  unit.splitAudio = unit.mcuDriversPresent = true;
  unit.mcuStatus = unit.ftdiStatus = unit.audioStatus = kq::kStatusComplete;
  unit.catNode = portNode(L"C", L"COM9");
  unit.pttNode = DeviceNode{};
  unit.pttNode->portName = L"COM10";  // read, but the node was never found
  unit.winkeyNode = portNode(L"W", L"COM7");
  unit.audioInNode = DeviceNode{};
  unit.audioInNode->instanceId = L"I";  // found, but without a friendly name
  expectRoles(reportItems(unit), {{Role::kCat, L"C", L"COM9"},
                                  {Role::kPtt, L"", L"COM10", false},
                                  {Role::kFsk, L"", L"", false},
                                  {Role::kWinkey, L"W", L"COM7"},
                                  {Role::kAudioIn, L"I", L""},
                                  {Role::kAudioOut, L"", L"", false}});
  EXPECT_FALSE(RoleItem(ReportUnits(reportItems(unit))[0], Role::kAudioIn)->named);

  unit.ftdiStatus = 9;
  unit.mcuDriversPresent = false;
  const UnitItems items = ReportUnits(reportItems(unit))[0];
  EXPECT_EQ(items.serial, L"00042");
  for (const Role role : {Role::kCat, Role::kPtt, Role::kFsk, Role::kWinkey})
    EXPECT_EQ(RoleItem(items, role), nullptr) << std::wstring(roleInfo(role).name);
  EXPECT_EQ(WalkCode(items, Walk::kFtdi), 9);
  EXPECT_EQ(WalkCode(items, Walk::kMcu), 0);
  EXPECT_EQ(WalkCode(items, Walk::kAudio), 0);
}

}  // namespace

}  // namespace kq::test
