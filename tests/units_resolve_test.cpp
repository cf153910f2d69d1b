#include <gtest/gtest.h>

#include "tests/tree_fixture.h"
#include "units/device_unit.h"

namespace kq::test {


namespace {

struct StatusCase {
  const char* name;
  std::vector<Edit> edits;
  bool splitAudio;
  int mcu, ftdi, audio;
};

std::ostream& operator<<(std::ostream& os, const StatusCase& c) { return os << c.name; }

class ResolveStatus : public testing::TestWithParam<StatusCase> {};

// Each walk stops at the step whose check fails, and the three walks are
// independent of each other.
TEST_P(ResolveStatus, CodeNamesTheStepThatFailed) {
  const StatusCase& c = GetParam();
  loadTree(edited(kOneUnit, c.edits));
  const DeviceUnit unit = resolveUnit({}, c.splitAudio, true);
  EXPECT_EQ(unit.mcuStatus, c.mcu);
  EXPECT_EQ(unit.ftdiStatus, c.ftdi);
  EXPECT_EQ(unit.audioStatus, c.audio);
}

const std::string kBoth = std::string(kFtdi) + "|" + kAudio;

INSTANTIATE_TEST_SUITE_P(
    Mcu, ResolveStatus,
    testing::Values(
        StatusCase{"complete", {}, true, 0, 0, 0},
        StatusCase{"mcuProblem", {{kMcu, "problem=10"}}, true, 7, 0, 0},
        StatusCase{"mcuNoChildren", {{kMcu, "children=!absent"}}, true, 7, 0, 0},
        StatusCase{"mcuNoParentBreaksAllThree", {{kMcu, "parent=!absent"}}, true, 7, 9, 13},
        StatusCase{"mcuNoSiblings", {{kMcu, "siblings=!absent"}}, true, 7, 9, 13},
        StatusCase{"fskFirstChild", {{kMcu, std::string("children=") + kFsk + "|" + kWinkey}}, true, 6, 0, 0},
        StatusCase{"winkeyNoPort", {{kWinkey, "problem=28"}}, true, 4, 0, 0},
        StatusCase{"winkeyNoSiblings", {{kWinkey, "siblings=!fail"}}, true, 3, 0, 0},
        StatusCase{"fskGone", {{kFsk, "", true}}, true, 3, 0, 0},
        StatusCase{"fskNoPort", {{kFsk, "problem=1"}}, true, 1, 0, 0}),
    [](const testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Ftdi, ResolveStatus,
    testing::Values(
        StatusCase{"functionProblem", {{kFtdi, "problem=43"}}, true, 0, 9, 0},
        StatusCase{"otherParent", {{kFtdi, "parent=USB\\ROOT_HUB30\\4&2B8E0A2&0&0"}}, true, 0, 9, 0},
        StatusCase{"noParent", {{kFtdi, "parent=!absent"}}, true, 0, 9, 0},
        StatusCase{"channelsSwapped", {{kFtdi, std::string("children=") + kChannelB + "|" + kChannelA}}, true, 0, 8, 0},
        StatusCase{"channelAProblem", {{kChannelA, "problem=10"}}, true, 0, 7, 0},
        StatusCase{"channelANoChildren", {{kCat, "", true}}, true, 0, 6, 0},
        StatusCase{"catNoPort", {{kCat, "problem=22"}}, true, 0, 5, 0},
        StatusCase{"channelANoSiblings", {{kChannelA, "siblings=!absent"}}, true, 0, 4, 0},
        StatusCase{"channelBProblem", {{kChannelB, "problem=10"}}, true, 0, 3, 0},
        StatusCase{"channelBNoChildren", {{kChannelB, "children=!type"}}, true, 0, 2, 0},
        StatusCase{"pttNoPort", {{kPtt, "problem=22"}}, true, 0, 1, 0}),
    [](const testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Audio, ResolveStatus,
    testing::Values(
        StatusCase{"functionMissing", {{kMcu, "siblings=" + std::string(kFtdi)}}, true, 0, 0, 13},
        StatusCase{"functionProblem", {{kAudio, "problem=10"}}, true, 0, 0, 13},
        StatusCase{"firstChildNotMi00", {{kAudio, std::string("children=") + kMi01}}, true, 0, 0, 12},
        StatusCase{"mi00Problem", {{kMi00, "problem=10"}}, true, 0, 0, 11},
        StatusCase{"mi00NoSiblings", {{kMi00, "siblings=!absent"}}, true, 0, 0, 10},
        StatusCase{"mi00SingleSibling", {{kMi00, "siblings=" + std::string(kMi02)}}, true, 0, 0, 9},
        StatusCase{"mi02Problem", {{kMi02, "problem=10"}}, true, 0, 0, 8},
        StatusCase{"mi02NoChildren", {{kRender, "", true}, {kCapture, "", true}}, true, 0, 0, 7},
        StatusCase{"renderProblem", {{kRender, "problem=10"}}, true, 0, 0, 3},
        StatusCase{"renderOnly", {{kCapture, "", true}}, true, 0, 0, 2},
        StatusCase{"captureProblem", {{kCapture, "problem=10"}}, true, 0, 0, 1},
        StatusCase{"captureFirst", {{kMi02, std::string("children=") + kCapture + "|" + kRender}}, true, 0, 0, 0},
        StatusCase{"captureFirstProblem", {{kMi02, std::string("children=") + kCapture + "|" + kRender}, {kCapture, "problem=10"}}, true, 0, 0, 6},
        StatusCase{"captureFirstNoSibling", {{kMi02, std::string("children=") + kCapture}, {kCapture, "siblings=!absent"}}, true, 0, 0, 5},
        StatusCase{"captureFirstRenderProblem", {{kMi02, std::string("children=") + kCapture + "|" + kRender}, {kRender, "problem=10"}}, true, 0, 0, 4}),
    [](const testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SiblingWalk, ResolveStatus,
    testing::Values(
        // Two FTDI functions ahead of the audio function: the second is walked.
        StatusCase{"secondFtdiWins", {{kMcu, "siblings=USB\\VID_0403&PID_6010\\BROKEN|" + kBoth}}, true, 0, 0, 0},
        StatusCase{"laterBrokenFtdiWins", {{kMcu, "siblings=" + std::string(kFtdi) + "|USB\\VID_0403&PID_6010\\BROKEN|" + kAudio}}, true, 0, 9, 0},
        // With the audio function between them the walk ends before the second.
        StatusCase{"walkEndsHoldingBoth", {{kMcu, "siblings=" + kBoth + "|USB\\VID_0403&PID_6010\\BROKEN"}}, true, 0, 0, 0}),
    [](const testing::TestParamInfo<StatusCase>& p) { return std::string(p.param.name); });

TEST(Resolve, CompleteUnitKeepsItsNodes) {
  loadTree(kOneUnit);
  const DeviceUnit unit = resolveUnit({}, true, true);
  EXPECT_EQ(unit.serial, L"12345");
  EXPECT_EQ(unit.mcuInstanceId, w(kMcu));
  EXPECT_EQ(unit.winkeyNode->portName, L"COM7");
  EXPECT_EQ(unit.fskNode->portName, L"COM8");
  EXPECT_EQ(unit.catNode->portName, L"COM9");
  EXPECT_EQ(unit.pttNode->portName, L"COM10");
  EXPECT_EQ(unit.audioOutNode->instanceId, w(kRender));
  EXPECT_EQ(unit.audioInNode->instanceId, w(kCapture));
}

TEST(Resolve, WithoutSplitAudioTheInterfaceStandsForTheDevice) {
  // Windows 7: lower-case MCU function, no endpoints under MI_02.
  loadTree(edited(replaced(kOneUnit, kMcu, R"(usb\vid_0483&pid_a1df\205112345)"),
                  {{kRender, "", true}, {kCapture, "", true}}));
  const DeviceUnit unit = resolveUnit({}, false, true);
  EXPECT_EQ(unit.mcuStatus, 0);
  EXPECT_EQ(unit.audioStatus, 0);
  EXPECT_EQ(unit.audioOutNode->instanceId, w(kMi02));
  EXPECT_EQ(unit.audioOutNode->friendlyName, L"USB Audio CODEC");
  EXPECT_FALSE(unit.audioInNode);
  // The capitalised search of Windows 8 does not see a lower-case function.
  EXPECT_EQ(resolveUnit({}, true, true).mcuStatus, 126);
}

TEST(Resolve, NoUnitClaimedUnitAndShortIdsAreNotUnits) {
  loadTree(kOneUnit);
  EXPECT_EQ(resolveUnit({w(kMcu)}, true, true).mcuStatus, 126);
  loadTree(replaced(kOneUnit, "205112345", "2051234"));  // 29 characters
  const DeviceUnit shortId = resolveUnit({}, true, true);
  EXPECT_EQ(shortId.mcuStatus, 126);
  EXPECT_TRUE(shortId.mcuInstanceId.empty());
  EXPECT_EQ(shortId.rejectedMcuId, L"USB\\VID_0483&PID_A1DF\\2051234");
  EXPECT_FALSE(shortId.winkeyNode);
}

TEST(Resolve, SerialIsTheLastFiveCharactersOfAnIdOfAnyLength) {
  const std::string longId = "USB\\VID_0483&PID_A1DF\\2051" + std::string(120, '7') + "ABCDE";
  loadTree(replaced(kOneUnit, kMcu, longId));
  const DeviceUnit unit = resolveUnit({}, true, true);
  EXPECT_EQ(unit.mcuStatus, 0);
  EXPECT_EQ(unit.serial, L"ABCDE");
  EXPECT_EQ(unit.mcuInstanceId, w(longId));
}

TEST(Resolve, MissingDriversSkipTheMcuWalkOnly) {
  loadTree(edited(kOneUnit, {{kMcu, "problem=28"}}));
  const DeviceUnit unit = resolveUnit({}, true, false);
  EXPECT_EQ(unit.mcuStatus, 8);
  EXPECT_FALSE(unit.winkeyNode);
  EXPECT_FALSE(unit.fskNode);
  EXPECT_EQ(unit.ftdiStatus, 0);
  EXPECT_EQ(unit.audioStatus, 0);
}

TEST(Resolve, FskWithoutPortKeepsWinkey) {
  loadTree(replaced(kOneUnit, R"x(friendly="KQ-6200 FSK (COM8)")x", R"(friendly="KQ-6200 FSK")"));
  const DeviceUnit unit = resolveUnit({}, true, true);
  EXPECT_EQ(unit.mcuStatus, 1);
  EXPECT_EQ(unit.winkeyNode->portName, L"COM7");
  ASSERT_TRUE(unit.fskNode);
  EXPECT_FALSE(unit.fskNode->portName);
}

TEST(Resolve, DeviceUnpluggedDuringTheWalkEndsItWithoutHarm) {
  // The unit disappears right after its MCU function was read: first count
  // the calls that reading takes.
  loadTree(kOneUnit);
  ASSERT_TRUE(kq::openDeviceNode(L"USB\\VID_0483&PID_A1DF\\2051", {}, true).found());
  const uint64_t mcuRead = kq::sim::callCounts().total();
  loadTree(kOneUnit + "=== after " + std::to_string(mcuRead) + " calls\n" +
           "USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n");
  const DeviceUnit unit = resolveUnit({}, true, true);
  EXPECT_EQ(unit.serial, L"12345");
  EXPECT_GT(unit.mcuStatus, 0);
  EXPECT_GT(unit.ftdiStatus, 0);
  EXPECT_GT(unit.audioStatus, 0);
}

}  // namespace

}  // namespace kq::test
