// The report as JSON, format 1 (docs/kqports.md).
#include <string>
#include <vector>

#include "base/json_text.h"
#include "console/named_items.h"
#include "console/render.h"

namespace kq {
namespace {

std::wstring indent(int depth) { return std::wstring(2 * static_cast<size_t>(depth), L' '); }

// An object or array of already rendered items: indented, one item a line,
// or all on one line.
std::wstring joined(wchar_t open, const std::vector<std::wstring>& items, wchar_t close,
                    JsonLayout layout, int depth) {
  if (items.empty()) return {open, close};
  const bool indented = layout == JsonLayout::kIndented;
  const std::wstring inner = indented ? L"\n" + indent(depth + 1) : L"";
  std::wstring out(1, open);
  out += inner;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += indented ? L"," + inner : L", ";
    out += items[i];
  }
  if (indented) out += L"\n" + indent(depth);
  return out + close;
}

std::wstring member(std::wstring_view name, std::wstring_view value) {
  return jsonString(name) + L": " + std::wstring(value);
}

std::wstring orNull(const std::wstring& text) { return text.empty() ? L"null" : jsonString(text); }

std::wstring boolean(bool value) { return value ? L"true" : L"false"; }

// A port's use as JSON members: "access", "holders", "uninspected",
// "hiddenProcesses", "modemManager".
std::wstring useJson(const PortUse& use) {
  std::vector<std::wstring> holders;
  for (const PortHolder& holder : use.holders)
    holders.push_back(L"{" + member(L"pid", std::to_wstring(holder.pid)) + L", " +
                      member(L"command", jsonString(holder.command)) + L"}");
  return member(L"access",
                L"{" + member(L"mayOpen", boolean(use.mayOpen)) + L", " +
                    member(L"group", orNull(use.group)) + L", " +
                    member(L"inGroup", use.group.empty() ? L"null" : boolean(use.inGroup)) +
                    L", " + member(L"help", orNull(use.accessHelp)) + L"}") +
         L", " + member(L"holders", joined(L'[', holders, L']', JsonLayout::kOneLine, 0)) + L", " +
         member(L"uninspected", std::to_wstring(use.uninspected)) + L", " +
         member(L"hiddenProcesses", orNull(use.hiddenProcesses)) + L", " +
         member(L"modemManager",
                L"{" + member(L"running", boolean(use.modemManagerRunning)) + L", " +
                    member(L"ignoresPort", boolean(use.modemManagerIgnores)) + L"}");
}

// A role: null unless the unit shows it in order; then the device's port or
// endpoint name (null when the device has none) and its instance ID, and
// with `names` what the system names it besides.
std::wstring roleJson(const UnitItems& unit, Role role, const ReportNames* names) {
  const ReportItem* item = RoleItem(unit, role);
  if (!item || !item->inOrder) return L"null";
  const DeviceNames* own = namesOf(names, item->id);
  std::wstring out = L"{" + member(L"name", item->named ? jsonString(item->value) : L"null") +
                     L", " + member(L"id", jsonString(own ? own->id : item->id));
  if (names) {
    if (roleInfo(role).kind == RoleKind::kPort) {
      const std::wstring stableName = stableNameOf(unit.serial, role);
      out += L", " + member(L"link", own ? orNull(own->link) : L"null");
      out += L", " + member(L"stable", own && hasLink(*own, stableName) ? jsonString(stableName)
                                                                       : L"null");
      if (own && own->use) out += L", " + useJson(*own->use);
    } else {
      out += L", " + member(L"alsa", own ? orNull(own->alsa) : L"null") + L", " +
             member(L"plughw", own ? orNull(plugName(own->alsa)) : L"null") + L", " +
             member(L"description", own ? orNull(own->description) : L"null") + L", " +
             member(L"soundServer", own ? orNull(SoundServerName(*own, role)) : L"null");
    }
  }
  return out + L"}";
}

std::wstring problemJson(const StatusHelp& help, HelpSystem system) {
  return L"{" + member(L"walk", jsonString(WalkName(help.walk))) + L", " +
         member(L"code", std::to_wstring(help.code)) + L", " +
         member(L"meaning", jsonString(PlainText(help.meaning))) + L", " +
         member(L"remedy", jsonString(PlainText(RemedyFor(help, system)))) + L"}";
}

// A unit: its serial, its walks' codes, each role of the roles' table, and
// "problems": each walk that stopped short, in the report's order, with its
// help.
std::wstring unitJson(const UnitItems& unit, JsonLayout layout, int depth,
                      const ConsoleReport& report, HelpSystem system) {
  const ReportNames* names = report.names ? &*report.names : nullptr;
  std::vector<std::wstring> members = {
      member(L"serial", jsonString(unit.serial)),
      member(L"label", orNull(LabelOf(report, unit.serial))),
      member(L"mcuStatus", std::to_wstring(WalkCode(unit, Walk::kMcu))),
      member(L"ftdiStatus", std::to_wstring(WalkCode(unit, Walk::kFtdi))),
      member(L"audioStatus", std::to_wstring(WalkCode(unit, Walk::kAudio)))};
  for (const RoleInfo& info : kRoles)
    members.push_back(member(info.name, roleJson(unit, info.role, names)));
  std::vector<std::wstring> problems;
  for (const ReportItem& item : unit.items)
    if (item.kind == LineKind::kError)
      if (const StatusHelp* help = FindStatusHelp(item.walk, item.code))
        problems.push_back(problemJson(*help, system));
  members.push_back(member(L"problems", joined(L'[', problems, L']', layout, depth + 1)));
  return joined(L'{', members, L'}', layout, depth);
}

}  // namespace

std::wstring ReportJson(const ConsoleReport& report, std::wstring_view time, JsonLayout layout,
                        HelpSystem system) {
  const ReportNames* names = namesIn(report);
  std::vector<std::wstring> unitItems;
  for (const UnitItems& unit : ReportUnits(report.report))
    unitItems.push_back(unitJson(unit, layout, 2, report, system));
  // The pairs exactly as the window gets them, TABs included.
  std::vector<std::wstring> pairs;
  for (const ReportLine& line : NamedLines(report))
    pairs.push_back(L"[" + jsonString(line.text) + L", " + jsonString(line.id) + L"]");
  std::vector<std::wstring> seenItems;
  if (report.seen)
    for (const SeenFunction& function : *report.seen) {
      const DeviceNames* own = namesOf(names, function.instanceId);
      seenItems.push_back(
          L"{" + member(L"function", jsonString(WalkName(function.walk))) + L", " +
          member(L"vidPid", jsonString(FunctionVidPid(function.walk))) + L", " +
          member(L"id", jsonString(own && !own->id.empty() ? own->id : function.instanceId)) +
          L", " + member(L"problem", std::to_wstring(function.problem)) + L"}");
    }
  std::vector<std::wstring> members = {
      member(L"format", std::to_wstring(kJsonFormat)), member(L"time", jsonString(time)),
      member(L"splitAudio", report.splitAudio ? L"true" : L"false"),
      member(L"units", joined(L'[', unitItems, L']', layout, 1)),
      member(L"report", joined(L'[', pairs, L']', layout, 1))};
  if (report.seen) members.push_back(member(L"seen", joined(L'[', seenItems, L']', layout, 1)));
  return joined(L'{', members, L'}', layout, 0);
}

}  // namespace kq
