// The three walks of a unit and the steps of each, in the order the walk
// takes them. A walk's status code is the number of steps from its step to
// the end of the walk: the first step has the highest code, the last 1, and
// 0 means every step passed. Codes follow from these lists and nowhere else.
#pragma once

#include <cstdint>
#include <string_view>

#include "units/unit_ids.h"

namespace kq {

enum class Walk { kMcu, kFtdi, kAudio };

enum class McuStep {
  kNoMakerDrivers,    // the maker's drivers are absent (declined, or none for the processor)
  kFunction,          // the MCU function: no problem, parent, siblings and children read
  kWinkeyInterface,   // its first child is the WinKey interface (MI_00)
  kWinkeyNode,        // the WinKey port's node taken
  kWinkeyPortName,    // ... with a port name
  kFskInterface,      // the WinKey interface's first sibling is the FSK interface (MI_02)
  kFskNode,           // the FSK port's node taken
  kFskPortName,       // ... with a port name
  kEnd
};

enum class FtdiStep {
  kFunction,          // an FTDI function beside the MCU, healthy, on the same parent
  kChannelA,          // its first child is channel A (MI_00)
  kChannelAHealthy,
  kCatPort,           // channel A's first child is a port of the FTDI bus
  kCatPortName,
  kChannelB,          // channel A's first sibling is channel B (MI_01)
  kChannelBHealthy,
  kPttPort,           // channel B's first child is a port of the FTDI bus
  kPttPortName,
  kEnd
};

enum class AudioStep {
  kFunction,              // a codec function beside the MCU, healthy, on the same parent
  kControlInterface,      // its first child is the audio control interface (MI_00)
  kControlHealthy,
  kControlSiblings,       // MI_00's siblings read
  kStreamingInterface,    // MI_00's second sibling is the streaming interface (MI_02)
  kStreamingHealthy,
  kEndpoints,             // (split audio) MI_02's first child is an endpoint
  kCaptureFirstHealthy,   // capture endpoint listed first
  kRenderAfterCapture,    // its first sibling is the render endpoint
  kRenderAfterHealthy,
  kRenderFirstHealthy,    // render endpoint listed first
  kCaptureAfterRender,    // its first sibling is the capture endpoint
  kCaptureAfterHealthy,
  kEnd
};

// The status code of a step.
template <typename Step>
constexpr int8_t stepCode(Step step) {
  return static_cast<int8_t>(static_cast<int>(Step::kEnd) - static_cast<int>(step));
}

// Names of a walk, and the USB function it starts from.
struct WalkInfo {
  Walk walk;
  std::wstring_view name;      // in JSON: "mcu"
  std::wstring_view label;     // in the report's error lines: "MCU"
  std::wstring_view function;  // in sentences: "the MCU"
  UsbFunctionId usb;
  int steps;                   // the highest status code
};

inline constexpr WalkInfo kWalks[] = {
    {Walk::kMcu, L"mcu", L"MCU", L"the MCU", kMcuFunctionId, static_cast<int>(McuStep::kEnd)},
    {Walk::kFtdi, L"ftdi", L"FTDI", L"the FTDI bridge", kFtdiFunctionId,
     static_cast<int>(FtdiStep::kEnd)},
    {Walk::kAudio, L"audio", L"AUDIO", L"the codec", kAudioFunctionId,
     static_cast<int>(AudioStep::kEnd)},
};

constexpr const WalkInfo& walkInfo(Walk walk) { return kWalks[static_cast<int>(walk)]; }

}  // namespace kq
