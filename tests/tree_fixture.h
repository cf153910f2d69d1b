// Device trees for the unit tests: the one-unit example tree and a way to
// derive variants from it by editing its text.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_control.h"

namespace kq::test {

// One complete unit (Windows 8 layout), as in the device tree format's example.
inline const std::string kOneUnit = R"TREE(USB\ROOT_HUB30\4&2B8E0A2&0&0 desc="USB Root Hub (USB 3.0)"
  USB\VID_05E3&PID_0608\5&3A1F2C&0&3 desc="Generic USB Hub"
    USB\VID_0483&PID_A1DF\205112345 desc="USB Composite Device"
      USB\VID_0483&PID_A1DF&MI_00\6&1A2B3C4&0&0000 class=ports desc="KQ-6200 WinKey" friendly="KQ-6200 WinKey (COM7)"
      USB\VID_0483&PID_A1DF&MI_02\6&1A2B3C4&0&0002 class=ports desc="KQ-6200 FSK" friendly="KQ-6200 FSK (COM8)"
    USB\VID_0403&PID_6010\KQ6A1B2C desc="USB Composite Device"
      USB\VID_0403&PID_6010&MI_00\6&2B3C4D5&0&0000 desc="USB Serial Converter A"
        FTDIBUS\VID_0403+PID_6010+KQ6A1B2CA\0000 class=ports desc="USB Serial Port" friendly="USB Serial Port (COM9)"
      USB\VID_0403&PID_6010&MI_01\6&2B3C4D5&0&0001 desc="USB Serial Converter B"
        FTDIBUS\VID_0403+PID_6010+KQ6A1B2CB\0000 class=ports desc="USB Serial Port" friendly="USB Serial Port (COM10)"
    USB\VID_10C4&PID_EAC3\5&3A1F2C&0&4 desc="USB Composite Device"
      USB\VID_10C4&PID_EAC3&MI_00\6&3C4D5E6&0&0000 desc="USB Audio Device"
      USB\VID_10C4&PID_EAC3&MI_01\6&3C4D5E6&0&0001 desc="KQ-6200 Reserved Interface"
      USB\VID_10C4&PID_EAC3&MI_02\6&3C4D5E6&0&0002 desc="USB Audio Device" friendly="USB Audio CODEC"
        SWD\MMDEVAPI\{0.0.0.00000000}.{6a7c5e1d-1f2b-4c3d-9e8f-0a1b2c3d4e5f} desc="Speakers" friendly="Speakers (USB Audio CODEC)"
        SWD\MMDEVAPI\{0.0.1.00000000}.{7b8d6f2e-2a3c-4d4e-8f9a-1b2c3d4e5f60} desc="Microphone" friendly="Microphone (USB Audio CODEC)"
)TREE";

// Instance IDs of the example tree, for edits and expectations.
inline constexpr const char* kMcu = R"(USB\VID_0483&PID_A1DF\205112345)";
inline constexpr const char* kWinkey = R"(USB\VID_0483&PID_A1DF&MI_00\6&1A2B3C4&0&0000)";
inline constexpr const char* kFsk = R"(USB\VID_0483&PID_A1DF&MI_02\6&1A2B3C4&0&0002)";
inline constexpr const char* kFtdi = R"(USB\VID_0403&PID_6010\KQ6A1B2C)";
inline constexpr const char* kChannelA = R"(USB\VID_0403&PID_6010&MI_00\6&2B3C4D5&0&0000)";
inline constexpr const char* kCat = R"(FTDIBUS\VID_0403+PID_6010+KQ6A1B2CA\0000)";
inline constexpr const char* kChannelB = R"(USB\VID_0403&PID_6010&MI_01\6&2B3C4D5&0&0001)";
inline constexpr const char* kPtt = R"(FTDIBUS\VID_0403+PID_6010+KQ6A1B2CB\0000)";
inline constexpr const char* kAudio = R"(USB\VID_10C4&PID_EAC3\5&3A1F2C&0&4)";
inline constexpr const char* kMi00 = R"(USB\VID_10C4&PID_EAC3&MI_00\6&3C4D5E6&0&0000)";
inline constexpr const char* kMi01 = R"(USB\VID_10C4&PID_EAC3&MI_01\6&3C4D5E6&0&0001)";
inline constexpr const char* kMi02 = R"(USB\VID_10C4&PID_EAC3&MI_02\6&3C4D5E6&0&0002)";
inline constexpr const char* kRender =
    R"(SWD\MMDEVAPI\{0.0.0.00000000}.{6a7c5e1d-1f2b-4c3d-9e8f-0a1b2c3d4e5f})";
inline constexpr const char* kCapture =
    R"(SWD\MMDEVAPI\{0.0.1.00000000}.{7b8d6f2e-2a3c-4d4e-8f9a-1b2c3d4e5f60})";

// Appends attributes to the line of node `id`, or with an empty `attributes`
// and `remove` set, drops that line.
struct Edit {
  std::string id;
  std::string attributes;
  bool remove = false;
};

inline std::string edited(std::string tree, const std::vector<Edit>& edits) {
  for (const Edit& e : edits) {
    const std::string key = e.id + " ";
    size_t at = tree.find(key);
    if (at == std::string::npos) {
      ADD_FAILURE() << "no node " << e.id;
      continue;
    }
    const size_t lineStart = tree.rfind('\n', at) == std::string::npos ? 0 : tree.rfind('\n', at) + 1;
    const size_t lineEnd = tree.find('\n', at);
    if (e.remove)
      tree.erase(lineStart, lineEnd - lineStart + 1);
    else
      tree.insert(lineEnd, " " + e.attributes);
  }
  return tree;
}

// Replaces the one occurrence of `from`.
inline std::string replaced(std::string tree, const std::string& from, const std::string& to) {
  const size_t at = tree.find(from);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no text " << from;
    return tree;
  }
  return tree.replace(at, from.size(), to);
}

// With KQ_KEEP_TREES set to a folder, each tree a test loads is also written
// there, named by its text's hash, so that outputs/render_all.py can render
// the tests' trees too.
inline void keepTree(const std::string& text) {
  const char* folder = std::getenv("KQ_KEEP_TREES");
  if (!folder || !*folder) return;
  std::ofstream(std::string(folder) + "/" + std::to_string(std::hash<std::string>()(text)) +
                    ".devtree",
                std::ios::binary)
      << text;
}

inline void loadTree(const std::string& text) {
  keepTree(text);
  std::string error;
  ASSERT_TRUE(kq::sim::loadTreeText(text, "test.devtree", &error)) << error;
  kq::sim::resetCallCounts();
}

inline std::wstring w(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace kq::test
