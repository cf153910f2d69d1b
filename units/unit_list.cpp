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

Report UnitList::report() const {
  Report report;
  for (const DeviceUnit& unit : units) {
    Report items = reportItems(unit);
    report.insert(report.end(), std::make_move_iterator(items.begin()),
                  std::make_move_iterator(items.end()));
  }
  if (report.empty()) report.push_back(NotFoundItem());
  return report;
}

ReportList UnitList::fullReport() const { return DisplayLines(report()); }

std::wstring FunctionVidPid(Walk walk) {
  const UsbFunctionId id = walkInfo(walk).usb;
  return wideFromUtf8(std::string(id.vendor) + ":" + id.product);
}

std::vector<SeenFunction> SeenFunctions() {
  std::vector<SeenFunction> seen;
  for (const WalkInfo& info : kWalks) {
    const Walk walk = info.walk;
    const UsbFunctionId id = info.usb;
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
