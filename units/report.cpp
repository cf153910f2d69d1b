#include "units/report.h"

#include <algorithm>

#include "base/one_line.h"

namespace kq {
namespace {

constexpr wchar_t kHeader[] = L"Quorvanta KQ6200 S/N ";
constexpr wchar_t kIndent[] = L"    ";
constexpr wchar_t kValueSeparator[] = L"\t - ";
constexpr wchar_t kAudioDeviceLabel[] = L"Audio device";
constexpr wchar_t kNoDriversLine[] = L"    WinKey & FSK - no drivers";
constexpr wchar_t kErrorEntry[] = L"Error entry";

ReportItem walkItem(LineKind kind, Walk walk, int status) {
  ReportItem item;
  item.kind = kind;
  item.walk = walk;
  item.code = status;
  return item;
}

// A role's line shows its port or endpoint name whole, however long it is;
// a node without one shows the label alone. A complete walk always sets
// both, but a line must never depend on that: a role whose node is missing
// or was not found is shown, but not in order.
ReportItem deviceItem(LineKind kind, Role role, const DeviceUnit& unit) {
  ReportItem item = walkItem(kind, roleInfo(role).walk, walkStatus(unit, roleInfo(role).walk));
  item.role = role;
  const std::optional<DeviceNode>& node = unit.*roleInfo(role).node;
  if (!node) return item;
  if (const std::optional<std::wstring>& text = roleText(*node, role)) {
    item.value = *text;
    item.named = true;
  }
  if (node->instanceId) item.id = *node->instanceId;
  item.inOrder = node->found();
  return item;
}

// A walk's roles in the roles' table's order, or the one item that says why
// it shows none.
void addWalk(Report& report, const DeviceUnit& unit, Walk walk) {
  const int status = walkStatus(unit, walk);
  if (status != kStatusComplete) {
    report.push_back(walkItem(LineKind::kError, walk, status));
  } else if (walk == Walk::kMcu && !unit.mcuDriversPresent) {
    report.push_back(walkItem(LineKind::kNoDrivers, walk, status));
  } else if (walk == Walk::kAudio && !unit.splitAudio) {
    // The codec's interface stands for the whole audio device.
    report.push_back(deviceItem(LineKind::kAudioDevice, Role::kAudioOut, unit));
  } else {
    for (const RoleInfo& info : kRoles)
      if (info.walk == walk) report.push_back(deviceItem(LineKind::kRole, info.role, unit));
  }
}

}  // namespace

std::wstring ErrorLine(Walk walk, int status) {
  return kIndent + std::wstring(walkInfo(walk).label) + L" ErrorCode: " + std::to_wstring(status);
}

ReportItem NotFoundItem() { return ReportItem{}; }

Report reportItems(const DeviceUnit& unit) {
  Report report;
  if (!isUnit(unit)) {
    report.push_back({LineKind::kErrorEntry, Role::kCat, Walk::kMcu, 0, L"", L""});
    return report;
  }
  report.push_back({LineKind::kHeader, Role::kCat, Walk::kMcu, 0, unit.serial, L""});
  for (const Walk walk : {Walk::kFtdi, Walk::kMcu, Walk::kAudio}) addWalk(report, unit, walk);
  return report;
}

std::vector<UnitItems> ReportUnits(const Report& report) {
  std::vector<UnitItems> units;
  for (const ReportItem& item : report) {
    if (item.kind == LineKind::kHeader)
      units.push_back({item.value, {}});
    else if (!units.empty())
      units.back().items.push_back(item);
  }
  return units;
}

const ReportItem* RoleItem(const UnitItems& unit, Role role) {
  for (const ReportItem& item : unit.items)
    if ((item.kind == LineKind::kRole && item.role == role) ||
        (item.kind == LineKind::kAudioDevice && roleInfo(role).kind == RoleKind::kAudio))
      return &item;
  return nullptr;
}

int WalkCode(const UnitItems& unit, Walk walk) {
  for (const ReportItem& item : unit.items)
    if (item.kind != LineKind::kHeader && item.walk == walk) return item.code;
  return kNotResolved;
}

std::wstring ItemLabel(const ReportItem& item) {
  return kIndent + std::wstring(item.kind == LineKind::kAudioDevice ? kAudioDeviceLabel
                                                                    : roleInfo(item.role).label);
}

bool IsPortLine(const ReportItem& item) {
  return item.kind == LineKind::kRole && roleInfo(item.role).kind == RoleKind::kPort;
}

std::wstring DisplayLine(const ReportItem& item) {
  switch (item.kind) {
    // A device chooses these strings: shown on one line, as they read.
    case LineKind::kHeader: return kHeader + OneLine(item.value);
    case LineKind::kRole:
    case LineKind::kAudioDevice: return ItemLabel(item) + kValueSeparator + OneLine(item.value);
    case LineKind::kError: return ErrorLine(item.walk, item.code);
    case LineKind::kNoDrivers: return kNoDriversLine;
    case LineKind::kNotFound: return kNotFoundLine;
    case LineKind::kErrorEntry: break;
  }
  return kErrorEntry;
}

ReportList DisplayLines(const Report& report) {
  ReportList lines;
  lines.reserve(report.size());
  for (const ReportItem& item : report) lines.push_back({DisplayLine(item), item.id});
  return lines;
}

ReportList reportLines(const DeviceUnit& unit) { return DisplayLines(reportItems(unit)); }

bool SameUse(const PortUse& a, const PortUse& b) {
  const auto same = [](const PortHolder& x, const PortHolder& y) {
    return x.pid == y.pid && x.command == y.command;
  };
  return a.mayOpen == b.mayOpen && a.accessHelp == b.accessHelp &&
         a.modemManagerRunning == b.modemManagerRunning &&
         a.modemManagerIgnores == b.modemManagerIgnores &&
         a.uninspectedHelp.empty() == b.uninspectedHelp.empty() &&
         a.hiddenProcesses == b.hiddenProcesses &&
         std::equal(a.holders.begin(), a.holders.end(), b.holders.begin(), b.holders.end(), same);
}

}  // namespace kq
