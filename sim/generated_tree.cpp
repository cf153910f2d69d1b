#include "sim/generated_tree.h"

#include <algorithm>
#include <cstdio>

namespace kq::sim {
namespace {

std::string hex4(int n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", n & 0xFFFF);
  return buf;
}

// One complete unit under its own hub, Windows 8 layout.
std::string unitLines(int n) {
  const std::string s = std::to_string(10000 + n);
  const std::string h = hex4(n);
  WindowsUnitChoice unit;
  unit.mcuSerial = kMcuSerialPrefix + s;
  unit.mcuInterfaces = "7&" + h + "&0&";
  unit.ftdiSerial = "KQ6" + s;
  unit.ftdiInterfaces = "7&" + h + "&1&";
  unit.codecInstance = "6&" + h + "&0&4";
  unit.codecInterfaces = "7&" + h + "&2&";
  unit.comPorts[static_cast<size_t>(Role::kWinkey)] = 20 + 4 * n;
  unit.comPorts[static_cast<size_t>(Role::kFsk)] = 21 + 4 * n;
  unit.comPorts[static_cast<size_t>(Role::kCat)] = 22 + 4 * n;
  unit.comPorts[static_cast<size_t>(Role::kPtt)] = 23 + 4 * n;
  unit.endpoints = {{false, h + "0000-0000-0000-0000-000000000000"}, {true, h + "0001-0000-0000-0000-000000000000"}};
  WindowsNode hub = windowsFunction(kHubShape, "5&" + h + "&0&1");
  hub.children = windowsUnitFunctions(unit);
  std::string lines;
  writeDevtree(hub, 1, lines);
  return lines;
}

constexpr int kHubPorts = 7;

std::string indent(int depth) { return std::string(2 * static_cast<size_t>(depth), ' '); }

// Devices first .. first+count-1 at `depth`, behind as many levels of
// 7-port hubs as they need, as on a real machine (and so that no device has
// thousands of siblings).
void addOthers(std::string& tree, int depth, int first, int count, int& hubs) {
  if (count <= kHubPorts) {
    for (int i = first; i < first + count; ++i)
      tree += indent(depth) + "USB\\VID_" + hex4(0x1000 + i) + "&PID_" + hex4(i * 7) + "\\5&" +
              hex4(i) + "&0&" + std::to_string(i) + " desc=\"USB Input Device\"\n";
    return;
  }
  const int per = (count + kHubPorts - 1) / kHubPorts;
  for (int start = first; start < first + count; start += per) {
    const int hub = hubs++;
    tree += indent(depth) + "USB\\VID_2109&PID_2817\\6&" + hex4(hub) + "&0&" +
            std::to_string(hub) + " desc=\"" + kHubShape.windowsDesc + "\"\n";
    addOthers(tree, depth + 1, start, std::min(per, first + count - start), hubs);
  }
}

}  // namespace

DevtreeAttributes devtreeAttributes(const WindowsNode& node) {
  DevtreeAttributes attrs;
  if (node.remembered) attrs.emplace_back("present", "no");
  if (node.setupClass) attrs.emplace_back("class", node.setupClass);
  if (node.desc) attrs.emplace_back("desc", '"' + *node.desc + '"');
  if (node.friendly) attrs.emplace_back("friendly", '"' + *node.friendly + '"');
  return attrs;
}

void writeDevtree(const WindowsNode& node, size_t level, std::string& out) {
  out += std::string(2 * level, ' ') + node.id;
  for (const auto& [name, value] : devtreeAttributes(node)) out += " " + name + "=" + value;
  out += "\n";
  for (const WindowsNode& child : node.children) writeDevtree(child, level + 1, out);
}

std::string generatedTree(int units, int others) {
  std::string tree = "USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n";
  // The other devices in up to seven groups under the root hub, the units
  // between the groups.
  const int per = (others + kHubPorts - 1) / kHubPorts;
  int placed = 0;
  int hubs = 0;
  for (int start = 0; start < others; start += per) {
    addOthers(tree, 1, start, std::min(per, others - start), hubs);
    if (placed < units) tree += unitLines(placed++);
  }
  while (placed < units) tree += unitLines(placed++);
  return tree;
}

}  // namespace kq::sim
