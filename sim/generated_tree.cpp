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
  return "  USB\\VID_05E3&PID_0608\\5&" + h + "&0&1 desc=\"Generic USB Hub\"\n"
         "    USB\\VID_0483&PID_A1DF\\2051" + s + " desc=\"USB Composite Device\"\n"
         "      USB\\VID_0483&PID_A1DF&MI_00\\7&" + h + "&0&0000 class=ports desc=\"KQ-6200 WinKey\" friendly=\"KQ-6200 WinKey (COM" + std::to_string(20 + 4 * n) + ")\"\n"
         "      USB\\VID_0483&PID_A1DF&MI_02\\7&" + h + "&0&0002 class=ports desc=\"KQ-6200 FSK\" friendly=\"KQ-6200 FSK (COM" + std::to_string(21 + 4 * n) + ")\"\n"
         "    USB\\VID_0403&PID_6010\\KQ6" + s + " desc=\"USB Composite Device\"\n"
         "      USB\\VID_0403&PID_6010&MI_00\\7&" + h + "&1&0000 desc=\"USB Serial Converter A\"\n"
         "        FTDIBUS\\VID_0403+PID_6010+KQ6" + s + "A\\0000 class=ports desc=\"USB Serial Port\" friendly=\"USB Serial Port (COM" + std::to_string(22 + 4 * n) + ")\"\n"
         "      USB\\VID_0403&PID_6010&MI_01\\7&" + h + "&1&0001 desc=\"USB Serial Converter B\"\n"
         "        FTDIBUS\\VID_0403+PID_6010+KQ6" + s + "B\\0000 class=ports desc=\"USB Serial Port\" friendly=\"USB Serial Port (COM" + std::to_string(23 + 4 * n) + ")\"\n"
         "    USB\\VID_10C4&PID_EAC3\\6&" + h + "&0&4 desc=\"USB Composite Device\"\n"
         "      USB\\VID_10C4&PID_EAC3&MI_00\\7&" + h + "&2&0000 desc=\"USB Audio Device\"\n"
         "      USB\\VID_10C4&PID_EAC3&MI_01\\7&" + h + "&2&0001 desc=\"KQ-6200 Reserved Interface\"\n"
         "      USB\\VID_10C4&PID_EAC3&MI_02\\7&" + h + "&2&0002 desc=\"USB Audio Device\" friendly=\"USB Audio CODEC\"\n"
         "        SWD\\MMDEVAPI\\{0.0.0.00000000}.{" + h + "0000-0000-0000-0000-000000000000} desc=\"Speakers\" friendly=\"Speakers (USB Audio CODEC)\"\n"
         "        SWD\\MMDEVAPI\\{0.0.1.00000000}.{" + h + "0001-0000-0000-0000-000000000000} desc=\"Microphone\" friendly=\"Microphone (USB Audio CODEC)\"\n";
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
            std::to_string(hub) + " desc=\"Generic USB Hub\"\n";
    addOthers(tree, depth + 1, start, std::min(per, first + count - start), hubs);
  }
}

}  // namespace

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
