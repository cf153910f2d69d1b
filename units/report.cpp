#include "units/report.h"

#include <algorithm>

namespace kq {
namespace {

constexpr wchar_t kHeader[] = L"Quorvanta KQ6200 S/N ";
constexpr wchar_t kCatLine[] = L"    CAT Port \t - ";
constexpr wchar_t kPttLine[] = L"    PTT/CW Port \t - ";
constexpr wchar_t kFskLine[] = L"    FSK Port \t - ";
constexpr wchar_t kWinkeyLine[] = L"    WinKey Port \t - ";
constexpr wchar_t kAudioInLine[] = L"    Audio Input \t - ";
constexpr wchar_t kAudioOutLine[] = L"    Audio Output\t - ";
constexpr wchar_t kAudioDeviceLine[] = L"    Audio device\t - ";
constexpr wchar_t kNoDriversLine[] = L"    WinKey & FSK - no drivers";
constexpr wchar_t kErrorEntry[] = L"Error entry";

void addError(ReportList& report, Walk walk, int status) {
  report.push_back({ErrorLine(walk, status), L""});
}

// The text of one field of a component's node, empty when the node or the
// field is absent. A complete walk always sets both, but a line must never
// depend on that.
std::wstring fieldOf(const std::optional<DeviceNode>& node,
                     std::optional<std::wstring> DeviceNode::*field) {
  if (!node || !((*node).*field)) return {};
  return *((*node).*field);
}

// A port line shows the port name whole, however long it is.
void addPort(ReportList& report, const wchar_t* label, const std::optional<DeviceNode>& node) {
  report.push_back({label + fieldOf(node, &DeviceNode::portName),
                    fieldOf(node, &DeviceNode::instanceId)});
}

// An endpoint without a friendly name shows the label alone.
void addAudio(ReportList& report, const wchar_t* label, const std::optional<DeviceNode>& node) {
  report.push_back({label + fieldOf(node, &DeviceNode::friendlyName),
                    fieldOf(node, &DeviceNode::instanceId)});
}

}  // namespace

std::wstring ErrorLine(Walk walk, int status) {
  return L"    " + std::wstring(WalkLabel(walk)) + L" ErrorCode: " + std::to_wstring(status);
}

ReportList reportLines(const DeviceUnit& unit) {
  ReportList report;
  if (!isUnit(unit)) {
    report.push_back({kErrorEntry, L""});
    return report;
  }
  report.push_back({kHeader + unit.serial, L""});

  if (unit.ftdiStatus != kStatusComplete) {
    addError(report, Walk::kFtdi, unit.ftdiStatus);
  } else {
    addPort(report, kCatLine, unit.catNode);
    addPort(report, kPttLine, unit.pttNode);
  }

  if (unit.mcuStatus != kStatusComplete) {
    addError(report, Walk::kMcu, unit.mcuStatus);
  } else if (!unit.mcuDriversPresent) {
    report.push_back({kNoDriversLine, L""});
  } else {
    addPort(report, kFskLine, unit.fskNode);
    addPort(report, kWinkeyLine, unit.winkeyNode);
  }

  if (unit.audioStatus != kStatusComplete) {
    addError(report, Walk::kAudio, unit.audioStatus);
  } else if (unit.splitAudio) {
    addAudio(report, kAudioInLine, unit.audioInNode);
    addAudio(report, kAudioOutLine, unit.audioOutNode);
  } else {
    addAudio(report, kAudioDeviceLine, unit.audioOutNode);
  }
  return report;
}

bool SameUse(const PortUse& a, const PortUse& b) {
  const auto same = [](const PortHolder& x, const PortHolder& y) {
    return x.pid == y.pid && x.command == y.command;
  };
  return a.mayOpen == b.mayOpen && a.accessHelp == b.accessHelp &&
         a.modemManagerRunning == b.modemManagerRunning &&
         a.modemManagerIgnores == b.modemManagerIgnores &&
         std::equal(a.holders.begin(), a.holders.end(), b.holders.begin(), b.holders.end(), same);
}

}  // namespace kq
