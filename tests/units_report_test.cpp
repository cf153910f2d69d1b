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

}  // namespace

}  // namespace kq::test
