#include "units/unit_list.h"

#include <algorithm>

#include "base/utf8.h"
#include "units/unit_ids.h"

namespace kq {

namespace {
constexpr int kFailureBudget = 5;
}

UnitList::UnitList(bool splitAudio, bool mcuDriversPresent) {
  // MCU functions found but rejected (an instance ID too short to carry a
  // serial) are skipped by the later attempts too, and use up no attempt:
  // otherwise five such devices listed first would hide every unit after them.
  // Each is skipped once; one found again counts as a failure, so the
  // enumeration ends whatever the search returns.
  IdList skipped;
  for (int failuresLeft = kFailureBudget; failuresLeft > 0;) {
    ++attempts;
    DeviceUnit unit = resolveUnit(skipped, splitAudio, mcuDriversPresent);
    if (!unit.rejectedMcuId.empty() &&
        std::find(skipped.begin(), skipped.end(), unit.rejectedMcuId) == skipped.end()) {
      skipped.push_back(unit.rejectedMcuId);
      continue;
    }
    if (!isUnit(unit)) {
      --failuresLeft;
      continue;
    }
    skipped.push_back(unit.mcuInstanceId);
    claimedIds.push_back(unit.mcuInstanceId);
    units.push_back(std::move(unit));
  }
}

ReportList UnitList::fullReport() const {
  ReportList report;
  for (const DeviceUnit& unit : units) {
    ReportList lines = reportLines(unit);
    report.insert(report.end(), std::make_move_iterator(lines.begin()),
                  std::make_move_iterator(lines.end()));
  }
  if (report.empty()) report.push_back({kNotFoundLine, L""});
  return report;
}

namespace {
UsbFunctionId functionOf(Walk walk) {
  switch (walk) {
    case Walk::kMcu: return kMcuFunctionId;
    case Walk::kFtdi: return kFtdiFunctionId;
    case Walk::kAudio: break;
  }
  return kAudioFunctionId;
}
}  // namespace

std::wstring FunctionVidPid(Walk walk) {
  const UsbFunctionId id = functionOf(walk);
  return wideFromUtf8(std::string(id.vendor) + ":" + id.product);
}

std::vector<SeenFunction> SeenFunctions() {
  std::vector<SeenFunction> seen;
  for (const Walk walk : {Walk::kMcu, Walk::kFtdi, Walk::kAudio}) {
    const UsbFunctionId id = functionOf(walk);
    // The function itself, "USB\VID_vvvv&PID_pppp\...", not its interfaces.
    const std::wstring prefix = wideFromUtf8(usbFunctionId(id.vendor, id.product) + "\\");
    IdList found;
    for (size_t n = 0; n < kMostSeen; ++n) {
      const DeviceNode node = findDeviceNode(prefix, found, true);
      if (!node.found()) break;
      found.push_back(*node.instanceId);
      seen.push_back({walk, *node.instanceId, node.problemCode});
    }
  }
  return seen;
}

}  // namespace kq
