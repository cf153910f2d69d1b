#include <gtest/gtest.h>

#include "sim/generated_tree.h"
#include "tests/tree_fixture.h"
#include "units/unit_list.h"
#include "units/unit_shape.h"

namespace kq::test {
namespace {

// A unit whose four ports carry four different COM numbers, so that a port
// put on another role's interface shows.
WindowsUnitChoice choice() {
  WindowsUnitChoice unit;
  unit.mcuSerial = std::string(kMcuSerialPrefix) + "K7Q2Z";
  unit.mcuInterfaces = "7&11&0&";
  unit.ftdiSerial = "KQ6K7Q2Z";
  unit.ftdiInterfaces = "7&12&0&";
  unit.codecInstance = "6&13&0&4";
  unit.codecInterfaces = "7&14&0&";
  for (size_t role = 0; role < std::size(kRoles); ++role) unit.comPorts[role] = 31 + static_cast<int>(role);
  unit.endpoints = {{true, "c0000000-0000-0000-0000-000000000001"}, {false, "c0000000-0000-0000-0000-000000000002"}};
  return unit;
}

std::string treeOf(const WindowsUnitChoice& unit) {
  WindowsNode hub = windowsFunction(kHubShape, "5&10&0&1");
  hub.children = windowsUnitFunctions(unit);
  std::string tree = "USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n";
  sim::writeDevtree(hub, 1, tree);
  return tree;
}

// The walk finds every role of a unit built from the shapes where the roles'
// table says it is: each port with its own COM number, the endpoints by
// direction whatever their order, also as Windows 7 lists the unit.
TEST(UnitShape, TheWalkFindsEveryRoleWhereTheTableSays) {
  for (const bool windows7 : {false, true}) {
    WindowsUnitChoice unit = choice();
    unit.mcuLowerCase = windows7;
    if (windows7) unit.endpoints.clear();  // it has no endpoint nodes
    loadTree(treeOf(unit));
    // Windows 7 splits no audio; the walk looks for its MCU in lower case.
    const UnitList list(!windows7, true);
    ASSERT_EQ(list.units.size(), 1u) << windows7;
    const DeviceUnit& found = list.units[0];
    EXPECT_EQ(found.serial, L"K7Q2Z");
    EXPECT_EQ(found.mcuStatus, 0);
    EXPECT_EQ(found.ftdiStatus, 0);
    EXPECT_EQ(found.audioStatus, 0);
    for (const RoleInfo& info : kRoles) {
      const std::optional<DeviceNode>& node = found.*info.node;
      // Without split audio the codec's interface stands for both directions.
      if (windows7 && info.role == Role::kAudioIn) continue;
      ASSERT_TRUE(node) << static_cast<int>(info.role);
      if (info.kind == RoleKind::kPort)
        EXPECT_EQ(node->portName, L"COM" + std::to_wstring(unit.comPorts[static_cast<size_t>(info.role)]));
      else if (windows7)
        EXPECT_EQ(node->friendlyName, L"USB Audio CODEC");
      else
        EXPECT_EQ(node->friendlyName, info.role == Role::kAudioIn ? L"Microphone (USB Audio CODEC)"
                                                                 : L"Speakers (USB Audio CODEC)");
    }
  }
}

}  // namespace
}  // namespace kq::test
