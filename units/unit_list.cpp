#include "units/unit_list.h"

#include <algorithm>

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

}  // namespace kq
