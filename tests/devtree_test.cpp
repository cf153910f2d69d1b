#include <gtest/gtest.h>

#include "devtree/device_node.h"
#include "tests/tree_fixture.h"

namespace kq::test {


namespace {

// Two present matching devices and one unplugged one that Windows remembers,
// listed ahead of them.
const std::string kTwoHubs = R"x(USB\ROOT_HUB30\4&1 desc="USB Root Hub"
  USB\VID_0483&PID_A1DF\205100001 desc="Gone" present=no
  USB\VID_0483&PID_A1DF\205111111 desc="First"
  USB\VID_0483&PID_A1DF\205122222 desc="Second"
  FTDIBUS\VID_0403+PID_6010+AAA\0000 class=ports desc="USB Serial Port" friendly="USB Serial Port (COM3)"
)x";

TEST(OpenDeviceNode, EmptyTextFindsNothingWithoutCalls) {
  loadTree(kOneUnit);
  const DeviceNode node = openDeviceNode(L"", IdList(), true);
  EXPECT_FALSE(node.found());
  EXPECT_EQ(node.problemCode, 255u);
  EXPECT_FALSE(node.description);
  EXPECT_EQ(kq::sim::callCounts().total(), 0u);
}

TEST(OpenDeviceNode, ExactIdIgnoresExclusionsAndKeepsTheCallersText) {
  loadTree(kOneUnit);
  const std::wstring lower = L"usb\\vid_0483&pid_a1df\\205112345";
  const DeviceNode node = openDeviceNode(lower, IdList{lower, w(kMcu)}, true);
  ASSERT_TRUE(node.found());
  EXPECT_EQ(*node.instanceId, lower);  // located without regard to case, kept as asked
  EXPECT_EQ(node.description, L"USB Composite Device");
  EXPECT_EQ(node.parentId, L"USB\\VID_05E3&PID_0608\\5&3A1F2C&0&3");
  ASSERT_TRUE(node.childrenIds);
  EXPECT_EQ(*node.childrenIds, (kq::StringList{w(kWinkey), w(kFsk)}));
  ASSERT_TRUE(node.siblingIds);
  EXPECT_EQ(*node.siblingIds, (kq::StringList{w(kFtdi), w(kAudio)}));
  EXPECT_EQ(node.problemCode, 0u);
  EXPECT_FALSE(node.friendlyName);
}

TEST(OpenDeviceNode, PrefixSearchTakesFirstPresentNotExcluded) {
  loadTree(kTwoHubs);
  const std::wstring prefix = L"USB\\VID_0483&PID_A1DF\\2051";
  EXPECT_EQ(openDeviceNode(prefix, {}, true).instanceId, L"USB\\VID_0483&PID_A1DF\\205111111");
  EXPECT_EQ(openDeviceNode(prefix, {L"USB\\VID_0483&PID_A1DF\\205111111"}, true).instanceId,
            L"USB\\VID_0483&PID_A1DF\\205122222");
  // Only whole-string equality excludes.
  EXPECT_EQ(openDeviceNode(prefix, {L"USB\\VID_0483&PID_A1DF\\20511111", L"USB\\VID_0483&PID_A1DF\\2051111110"}, true)
                .instanceId,
            L"USB\\VID_0483&PID_A1DF\\205111111");
  EXPECT_FALSE(openDeviceNode(prefix,
                              {L"USB\\VID_0483&PID_A1DF\\205111111", L"USB\\VID_0483&PID_A1DF\\205122222"},
                              true)
                   .found());
  // Prefixes compare case-sensitively although locating does not.
  EXPECT_FALSE(openDeviceNode(L"usb\\vid_0483&pid_a1df\\2051", {}, true).found());
  // Only the unplugged device matches this prefix.
  EXPECT_FALSE(openDeviceNode(L"USB\\VID_0483&PID_A1DF\\20510", {}, true).found());
  // The Ports class list is searched when usbClass is false.
  EXPECT_FALSE(openDeviceNode(L"FTDIBUS\\", {}, true).found());
  EXPECT_EQ(openDeviceNode(L"FTDIBUS\\", {}, false).instanceId, L"FTDIBUS\\VID_0403+PID_6010+AAA\\0000");
}

TEST(OpenDeviceNode, EachReadIsASizeQueryThenARead) {
  loadTree(kOneUnit);
  const DeviceNode node = openDeviceNode(w(kCat), {}, false);
  ASSERT_TRUE(node.found());
  const kq::sim::CallCounts calls = kq::sim::callCounts();
  EXPECT_EQ(calls.locate, 1u);
  EXPECT_EQ(calls.property, 10u);  // two per property; one for each of the missing lists
  EXPECT_EQ(calls.listSize + calls.list, 0u);
}

TEST(OpenDeviceNode, AClassListThatGrowsBeforeTheFetchFindsNothing) {
  // Calls: locate(prefix) and the size query see the first snapshot; the
  // fetch sees a longer list and is refused as too small.
  loadTree(std::string(R"(USB\VID_0483&PID_A1DF\205111111 desc="A"
=== after 2 calls
USB\VID_0483&PID_A1DF\205111111 desc="A"
USB\VID_0483&PID_A1DF\205122222 desc="B"
)"));
  EXPECT_FALSE(openDeviceNode(L"USB\\VID_0483&PID_A1DF\\2051", {}, true).found());
  EXPECT_TRUE(openDeviceNode(L"USB\\VID_0483&PID_A1DF\\2051", {}, true).found());
}

struct ReadCase {
  const char* name;
  const char* attributes;
  bool description, friendly, parent, children, siblings;
  uint32_t problem;
};

class ReadProperties : public testing::TestWithParam<ReadCase> {};

// Which fields survive which failure, on the CAT port node.
TEST_P(ReadProperties, StopsOrGoesOnAsEachReadAllows) {
  const ReadCase& c = GetParam();
  loadTree(edited(replaced(kOneUnit, R"x(desc="USB Serial Port" friendly="USB Serial Port (COM9)")x", ""),
                  {{kCat, c.attributes}}));
  const DeviceNode node = openDeviceNode(w(kCat), {}, false);
  ASSERT_TRUE(node.found());
  EXPECT_EQ(node.description.has_value(), c.description);
  EXPECT_EQ(node.friendlyName.has_value(), c.friendly);
  EXPECT_EQ(node.parentId.has_value(), c.parent);
  EXPECT_EQ(node.childrenIds.has_value(), c.children);
  EXPECT_EQ(node.siblingIds.has_value(), c.siblings);
  EXPECT_EQ(node.problemCode, c.problem);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadProperties,
    testing::Values(
        ReadCase{"plain", R"(desc="D" friendly="F")", true, true, true, false, false, 0},
        ReadCase{"noFriendly", R"(desc="D" problem=28)", true, false, true, false, false, 28},
        ReadCase{"noDesc", R"(friendly="F")", false, false, false, false, false, 255},
        ReadCase{"descWrongType", R"(desc=!type friendly="F")", false, false, false, false, false, 255},
        ReadCase{"friendlyFails", R"(desc="D" friendly=!fail)", true, false, false, false, false, 255},
        ReadCase{"friendlyWrongType", R"(desc="D" friendly=!type)", true, false, false, false, false, 255},
        ReadCase{"parentFailsGoesOn", R"(desc="D" parent=!fail children=A|B)", true, false, false, true, false, 0},
        ReadCase{"listWrongTypeGoesOn", R"(desc="D" children=!type siblings=X)", true, false, true, false, true, 0},
        ReadCase{"emptyListIsPresent", R"(desc="D" children=)", true, false, true, true, false, 0},
        ReadCase{"problemWrongType", R"(desc="D" problem=!type)", true, false, true, false, false, 255},
        ReadCase{"problemFails", R"(desc="D" problem=!fail)", true, false, true, false, false, 255}),
    [](const testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

TEST(ReadProperties, UnterminatedValuesAreReadWithinTheBytesReturned) {
  loadTree(edited(replaced(kOneUnit, R"x(desc="USB Serial Port" friendly="USB Serial Port (COM9)")x", ""),
                  {{kCat, R"x(desc="Port" friendly="Port (COM9)" children=A|BC siblings=X unterminated=desc,friendly,children,siblings,parent)x"}}));
  const DeviceNode node = kq::openPortNode(w(kCat));
  EXPECT_EQ(node.description, L"Port");
  EXPECT_EQ(node.friendlyName, L"Port (COM9)");
  EXPECT_EQ(node.parentId, w(kChannelA));
  EXPECT_EQ(node.childrenIds, (kq::StringList{L"A", L"BC"}));
  EXPECT_EQ(node.siblingIds, (kq::StringList{L"X"}));
  EXPECT_EQ(node.portName, L"COM9");
}

TEST(DerivePortName, UsesLengthsOnly) {
  struct Case {
    const wchar_t* description;
    const wchar_t* friendly;
    uint32_t problem;
    const wchar_t* port;  // nullptr: none
  };
  const Case cases[] = {
      {L"USB Serial Port", L"USB Serial Port (COM1)", 0, L"COM1"},
      {L"USB Serial Port", L"USB Serial Port (COM12)", 0, L"COM12"},
      {L"USB Serial Port", L"USB Serial Port (COM123456789)", 0, L"COM123456789"},
      {L"USB Serial Port", L"USB Serial Port (CO)", 0, nullptr},   // six longer
      {L"USB Serial Port", L"USB Serial", 0, nullptr},             // shorter
      {L"USB Serial Port", L"USB Serial Port (COM9)", 10, nullptr},
      {L"USB Serial Port", L"USB Serial Port (COM9)", 255, nullptr},
      {L"ABC", L"xyz..PORT?", 0, L"PORT"},                          // no checks on the text
  };
  for (const Case& c : cases) {
    DeviceNode node;
    node.description = c.description;
    node.friendlyName = c.friendly;
    node.problemCode = c.problem;
    kq::derivePortName(node);
    if (c.port)
      EXPECT_EQ(node.portName, std::wstring(c.port));
    else
      EXPECT_FALSE(node.portName) << *node.portName;
  }
  DeviceNode noDescription;
  noDescription.friendlyName = L"USB Serial Port (COM9)";
  noDescription.problemCode = 0;
  kq::derivePortName(noDescription);
  EXPECT_FALSE(noDescription.portName);
}

TEST(StringListEntries, FirstAndSecond) {
  EXPECT_EQ(kq::firstEntry({}), L"");
  EXPECT_EQ(kq::secondEntry({L"A"}), L"");
  EXPECT_EQ(kq::secondEntry({L"A", L"B", L"C"}), L"B");
}

}  // namespace

}  // namespace kq::test
