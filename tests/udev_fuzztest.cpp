// The udev fuzz target's own parts: its read-back check must reject a tree
// that does not read back as built (a check that accepts anything finds
// nothing), and its generator must give a complete unit where the bytes run
// out. Built with the fuzz targets only (clang, Linux).
#include <gtest/gtest.h>

#include "base/ascii.h"
#include "fuzz/udev_gen.h"
#include "units/unit_list.h"

namespace kq::test {
namespace {

udev::WindowsShape shapeOf(const std::string& bytes) {
  FuzzedDataProvider in(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return udev::ShapeAsWindows(generateUdevDevices(in));
}

memcm::Node* nodeWith(udev::WindowsShape& shape, std::wstring_view part) {
  for (memcm::Node& node : shape.nodes)
    if (node.id.find(part) != std::wstring::npos) return &node;
  return nullptr;
}

TEST(UdevFuzzParts, NoBytesGiveOneCompleteUnitThatReadsBack) {
  const udev::WindowsShape shape = shapeOf("");
  EXPECT_EQ(readBackProblem(shape), "");
  const UnitList list(true, true);
  ASSERT_EQ(list.units.size(), 1u);
  EXPECT_EQ(list.units[0].serial, L"40117");
  EXPECT_EQ(list.units[0].mcuStatus, kStatusComplete);
  EXPECT_EQ(list.units[0].ftdiStatus, kStatusComplete);
  EXPECT_EQ(list.units[0].audioStatus, kStatusComplete);
}

TEST(UdevFuzzParts, BytesGiveOtherTreesThatStillReadBack) {
  size_t nodes = shapeOf("").nodes.size();
  bool other = false;
  for (const char* bytes : {"\xff\xff\xff\xff\x01\x02\x03 Mouse \"Pro\"\nv2 caf\xc3\xa9 \xfe",
                            "205140117 FT0KQ CODEC 1-4.1:1.0 ~~~~~~~~~~~~~~~~~~~~~~~~"}) {
    const udev::WindowsShape shape = shapeOf(bytes);
    EXPECT_EQ(readBackProblem(shape), "") << bytes;
    other = other || shape.nodes.size() != nodes;
  }
  EXPECT_TRUE(other) << "the bytes changed nothing";
}

TEST(UdevFuzzParts, TheReadBackCheckRejectsWhatDoesNotReadBack) {
  const udev::WindowsShape healthy = shapeOf("");
  ASSERT_EQ(readBackProblem(healthy), "");

  udev::WindowsShape twice = healthy;
  twice.nodes.push_back(twice.nodes.back());
  twice.nodes.back().id = toAsciiLower(twice.nodes.back().id);
  EXPECT_NE(readBackProblem(twice).find("two nodes"), std::string::npos);

  udev::WindowsShape twoLines = healthy;
  nodeWith(twoLines, L"MI_00")->props[memcm::kDesc] = memcm::textAnswer(L"CDC\nACM");
  EXPECT_NE(readBackProblem(twoLines).find("more than one line"), std::string::npos);

  udev::WindowsShape orphan = healthy;
  nodeWith(orphan, L"&MI_02")->props[memcm::kParent] = memcm::textAnswer(L"USB\\ROOT_HUB\\GONE");
  EXPECT_NE(readBackProblem(orphan).find("parent is no node"), std::string::npos);

  udev::WindowsShape unclaimed = healthy;
  memcm::Node* mcu = nodeWith(unclaimed, L"PID_A1DF\\");
  mcu->props[memcm::kChildren] = memcm::listAnswer({L"USB\\VID_0403&PID_6010\\FT0KQ"});
  EXPECT_NE(readBackProblem(unclaimed), "");

  udev::WindowsShape stray = healthy;
  stray.names[L"USB\\VID_FFFF&PID_FFFF\\NONE"] = {L"/sys/none", L"", L"", L"", {}, std::nullopt, {}};
  EXPECT_NE(readBackProblem(stray).find("no node"), std::string::npos);
}

}  // namespace
}  // namespace kq::test
