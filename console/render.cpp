#include "console/render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/json_text.h"
#include "devtree/device_node.h"

namespace kq {

namespace {

constexpr wchar_t kTab = L'\t';

// A report line shows as one output line: a control character inside a
// device name (there should be none) becomes a space instead of breaking it.
// C1 controls count too: a terminal reads U+009B as CSI, the start of an
// escape sequence that could move the cursor or rewrite what was printed.
std::wstring oneLine(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) {
    const auto code = static_cast<unsigned long>(c);
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) c = L' ';
  }
  return out;
}

// --- JSON -------------------------------------------------------------------

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

const DeviceNames* namesOf(const ReportNames* names, const std::wstring& id) {
  if (!names) return nullptr;
  const auto found = names->find(id);
  return found == names->end() ? nullptr : &found->second;
}

enum class RoleKind { kPort, kAudio };

// "plughw:CARD=CODEC,DEV=0" beside "hw:CARD=CODEC,DEV=0"; empty for a name
// of another kind.
std::wstring plugName(const std::wstring& alsa) {
  return startsWith(alsa, L"hw:") ? L"plug" + alsa : std::wstring();
}

std::wstring boolean(bool value) { return value ? L"true" : L"false"; }

// Whether udev made `link` to the device's node.
bool hasLink(const DeviceNames& names, const std::wstring& link) {
  return !link.empty() &&
         std::find(names.allLinks.begin(), names.allLinks.end(), link) != names.allLinks.end();
}

// A port's use as JSON members: "access", "holders", "uninspected",
// "modemManager".
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
         member(L"modemManager",
                L"{" + member(L"running", boolean(use.modemManagerRunning)) + L", " +
                    member(L"ignoresPort", boolean(use.modemManagerIgnores)) + L"}");
}

// A role: null unless its component's walk is complete and found its device;
// then the device's port or endpoint name (null when the device has none)
// and its instance ID, and with `names` what the system names it besides.
std::wstring role(bool complete, const std::optional<DeviceNode>& node, RoleKind kind,
                  const ReportNames* names, const std::wstring& stableName) {
  if (!complete || !node || !node->found()) return L"null";
  const std::optional<std::wstring>& text =
      kind == RoleKind::kPort ? node->portName : node->friendlyName;
  const DeviceNames* own = namesOf(names, *node->instanceId);
  std::wstring out = L"{" + member(L"name", text ? jsonString(*text) : L"null") + L", " +
                     member(L"id", jsonString(own ? own->id : *node->instanceId));
  if (names) {
    if (kind == RoleKind::kPort) {
      out += L", " + member(L"link", own ? orNull(own->link) : L"null");
      out += L", " + member(L"stable", own && hasLink(*own, stableName) ? jsonString(stableName)
                                                                       : L"null");
      if (own && own->use) out += L", " + useJson(*own->use);
    } else {
      out += L", " + member(L"alsa", own ? orNull(own->alsa) : L"null") + L", " +
             member(L"plughw", own ? orNull(plugName(own->alsa)) : L"null") + L", " +
             member(L"description", own ? orNull(own->description) : L"null");
    }
  }
  return out + L"}";
}

// The six roles of a unit in JSON order: whether the component's walk is
// complete (for FSK and WinKey, with the maker's drivers) and its node.
struct RoleView {
  const wchar_t* name;
  bool complete;
  const std::optional<DeviceNode>* node;
  RoleKind kind;
};

std::vector<RoleView> rolesOf(const DeviceUnit& unit);

// The link the packaged rules give a port of a unit: /dev/kq6200/<serial>/<role>.
std::wstring stableNameOf(const DeviceUnit& unit, const RoleView& view) {
  return view.kind == RoleKind::kPort ? L"/dev/kq6200/" + unit.serial + L"/" + view.name
                                      : std::wstring();
}

std::vector<RoleView> rolesOf(const DeviceUnit& unit) {
  const bool ftdi = unit.ftdiStatus == kStatusComplete;
  const bool mcu = unit.mcuStatus == kStatusComplete && unit.mcuDriversPresent;
  const bool audio = unit.audioStatus == kStatusComplete;
  // Without split audio the codec's interface is the one audio device, and
  // it serves as both input and output.
  const std::optional<DeviceNode>& audioIn = unit.splitAudio ? unit.audioInNode : unit.audioOutNode;
  return {{L"cat", ftdi, &unit.catNode, RoleKind::kPort},
          {L"ptt", ftdi, &unit.pttNode, RoleKind::kPort},
          {L"fsk", mcu, &unit.fskNode, RoleKind::kPort},
          {L"winkey", mcu, &unit.winkeyNode, RoleKind::kPort},
          {L"audioIn", audio, &audioIn, RoleKind::kAudio},
          {L"audioOut", audio, &unit.audioOutNode, RoleKind::kAudio}};
}

// The walks that stopped short, in the report's order, with their help.
std::vector<const StatusHelp*> problemsOf(const DeviceUnit& unit) {
  std::vector<const StatusHelp*> out;
  for (const auto& [walk, status] : {std::pair{Walk::kFtdi, unit.ftdiStatus},
                                     std::pair{Walk::kMcu, unit.mcuStatus},
                                     std::pair{Walk::kAudio, unit.audioStatus}})
    if (const StatusHelp* help = FindStatusHelp(walk, status)) out.push_back(help);
  return out;
}

std::wstring problemJson(const StatusHelp& help, HelpSystem system) {
  return L"{" + member(L"walk", jsonString(WalkName(help.walk))) + L", " +
         member(L"code", std::to_wstring(help.code)) + L", " +
         member(L"meaning", jsonString(PlainText(help.meaning))) + L", " +
         member(L"remedy", jsonString(PlainText(RemedyFor(help, system)))) + L"}";
}

std::wstring unitJson(const DeviceUnit& unit, JsonLayout layout, int depth,
                      const ReportNames* names, HelpSystem system) {
  std::vector<std::wstring> members = {
      member(L"serial", jsonString(unit.serial)),
      member(L"mcuStatus", std::to_wstring(static_cast<int>(unit.mcuStatus))),
      member(L"ftdiStatus", std::to_wstring(static_cast<int>(unit.ftdiStatus))),
      member(L"audioStatus", std::to_wstring(static_cast<int>(unit.audioStatus)))};
  for (const RoleView& view : rolesOf(unit))
    members.push_back(member(
        view.name, role(view.complete, *view.node, view.kind, names, stableNameOf(unit, view))));
  std::vector<std::wstring> problems;
  for (const StatusHelp* help : problemsOf(unit)) problems.push_back(problemJson(*help, system));
  members.push_back(member(L"problems", joined(L'[', problems, L']', layout, depth + 1)));
  return joined(L'{', members, L'}', layout, depth);
}

std::wstring twoDigits(int value) {
  wchar_t text[8];
  std::swprintf(text, 8, L"%02d", value);
  return text;
}

}  // namespace

std::wstring FormatLocalTime(const LocalTime& time) {
  wchar_t date[16];
  std::swprintf(date, 16, L"%04d-", time.year);
  const int offset = std::abs(time.utcOffsetMinutes);
  return date + twoDigits(time.month) + L"-" + twoDigits(time.day) + L"T" + twoDigits(time.hour) +
         L":" + twoDigits(time.minute) + L":" + twoDigits(time.second) +
         (time.utcOffsetMinutes < 0 ? L"-" : L"+") + twoDigits(offset / 60) + L":" +
         twoDigits(offset % 60);
}

std::wstring ReportText(const ReportList& report) {
  // The list box lines the values up at its tab stops; here the widest label
  // of the whole report sets the column, so every unit's values line up too.
  size_t column = 0;
  for (const ReportLine& line : report) {
    const size_t tab = line.text.find(kTab);
    if (tab != std::wstring::npos) column = std::max(column, tab);
  }
  std::wstring out;
  for (const ReportLine& line : report) {
    const size_t tab = line.text.find(kTab);
    if (tab == std::wstring::npos) {
      out += oneLine(line.text);
    } else {
      out += oneLine(std::wstring_view(line.text).substr(0, tab));
      out.append(column - tab, L' ');
      out += oneLine(std::wstring_view(line.text).substr(tab + 1));
    }
    out += L'\n';
  }
  return out;
}

ReportList WithDeviceNames(const ReportList& report, const ReportNames& names,
                           const UnitList& units) {
  // The stable name each port of a unit may carry, by its instance ID.
  std::map<std::wstring, std::wstring> stableNames;
  for (const DeviceUnit& unit : units.units)
    for (const RoleView& view : rolesOf(unit))
      if (view.kind == RoleKind::kPort && *view.node && (*view.node)->found())
        stableNames[*(*view.node)->instanceId] = stableNameOf(unit, view);
  ReportList out = report;
  for (ReportLine& line : out) {
    const DeviceNames* own = namesOf(&names, line.id);
    if (!own) continue;
    std::vector<std::wstring> links;
    const auto stable = stableNames.find(line.id);
    if (stable != stableNames.end() && hasLink(*own, stable->second)) links.push_back(stable->second);
    if (!own->link.empty()) links.push_back(own->link);
    for (size_t i = 0; i < links.size(); ++i)
      line.text += (i ? L", " : L" (") + links[i] + (i + 1 == links.size() ? L")" : L"");
    const std::wstring plug = plugName(own->alsa);
    const size_t at = plug.empty() ? std::wstring::npos : line.text.find(own->alsa);
    if (at != std::wstring::npos) line.text.insert(at + own->alsa.size(), L" or " + plug);
    line.id = own->id;
  }
  return out;
}

ReportList WithPortUses(const ReportList& report, const ReportNames& names) {
  ReportList out;
  for (const ReportLine& line : report) {
    out.push_back(line);
    const DeviceNames* own = namesOf(&names, line.id);
    if (!own || !own->use) continue;
    const PortUse& use = *own->use;
    if (!use.holders.empty()) {
      std::wstring text = L"        open in ";
      for (size_t i = 0; i < use.holders.size(); ++i)
        text += (i ? L", " : L"") + use.holders[i].command + L" (pid " +
                std::to_wstring(use.holders[i].pid) + L")";
      out.push_back({text, L""});
    }
    if (!use.mayOpen)
      out.push_back({L"        you may not open it: " + use.accessHelp + L".", L""});
    if (use.modemManagerRunning && !use.modemManagerIgnores)
      out.push_back({L"        ModemManager is running and may probe this port with AT commands, "
                     L"which can key the transmitter: install the udev rules (kqports "
                     L"--udev-rules) and plug the unit in again.",
                     L""});
  }
  return out;
}

namespace {
std::wstring_view functionName(Walk walk) {
  switch (walk) {
    case Walk::kMcu: return L"the MCU";
    case Walk::kFtdi: return L"the FTDI bridge";
    case Walk::kAudio: break;
  }
  return L"the codec";
}

// Where a seen function is: on Linux its USB port ("1-4.2", the last part
// of its sysfs path), on Windows its instance ID.
std::wstring placeOf(const SeenFunction& function, const ReportNames* names) {
  const DeviceNames* own = namesOf(names, function.instanceId);
  if (!own || own->id.empty()) return L"as " + function.instanceId;
  return L"on USB port " + own->id.substr(own->id.rfind(L'/') + 1);
}
}  // namespace

ReportList SeenLines(const std::vector<SeenFunction>& seen, const ReportNames* names) {
  constexpr wchar_t kIndent[] = L"        ";
  ReportList out;
  if (seen.empty()) {
    out.push_back({std::wstring(kIndent) +
                       L"None of the unit's USB functions is attached (the MCU " +
                       FunctionVidPid(Walk::kMcu) + L", the FTDI bridge " +
                       FunctionVidPid(Walk::kFtdi) + L", the codec " +
                       FunctionVidPid(Walk::kAudio) +
                       L"): check the USB cable, and that the unit is powered.",
                   L""});
    return out;
  }
  bool mcu = false;
  for (const SeenFunction& function : seen) {
    mcu = mcu || function.walk == Walk::kMcu;
    std::wstring text = std::wstring(kIndent) + L"Seen: " +
                        std::wstring(functionName(function.walk)) + L" " +
                        FunctionVidPid(function.walk) + L" " + placeOf(function, names);
    if (function.problem != 0 && function.problem != kProblemNotRead)
      text += L", with problem code " + std::to_wstring(function.problem);
    out.push_back({text + L".", L""});
  }
  if (!mcu)
    out.push_back({std::wstring(kIndent) + L"Not seen: the MCU " + FunctionVidPid(Walk::kMcu) +
                       L", by which a unit is found: unplug the unit and plug it in again.",
                   L""});
  return out;
}

ReportList WithExplanations(const ReportList& report, HelpSystem system) {
  ReportList out;
  for (const ReportLine& line : report) {
    out.push_back(line);
    if (!line.id.empty()) continue;
    for (const StatusHelp& help : StatusHelpTable())
      if (line.text == ErrorLine(help.walk, help.code)) {
        out.push_back({L"        " + PlainText(help.meaning) + L". " +
                           PlainText(RemedyFor(help, system)) + L".",
                       L""});
        break;
      }
  }
  return out;
}

ReportList WithSeenLines(const ReportList& report, const UnitList& units,
                         const std::vector<SeenFunction>& seen, const ReportNames* names) {
  ReportList out = report;
  if (!units.units.empty()) return out;
  const ReportList more = SeenLines(seen, names);
  out.insert(out.end(), more.begin(), more.end());
  return out;
}

std::wstring ReportJson(const UnitList& units, const ReportList& report, bool splitAudio,
                        std::wstring_view time, JsonLayout layout, const ReportNames* names,
                        HelpSystem system, const std::vector<SeenFunction>* seen) {
  std::vector<std::wstring> unitItems;
  for (const DeviceUnit& unit : units.units)
    unitItems.push_back(unitJson(unit, layout, 2, names, system));
  // The pairs exactly as the window gets them, TABs included.
  std::vector<std::wstring> pairs;
  for (const ReportLine& line : names ? WithDeviceNames(report, *names, units) : report)
    pairs.push_back(L"[" + jsonString(line.text) + L", " + jsonString(line.id) + L"]");
  std::vector<std::wstring> seenItems;
  if (seen)
    for (const SeenFunction& function : *seen) {
      const DeviceNames* own = namesOf(names, function.instanceId);
      seenItems.push_back(
          L"{" + member(L"function", jsonString(WalkName(function.walk))) + L", " +
          member(L"vidPid", jsonString(FunctionVidPid(function.walk))) + L", " +
          member(L"id", jsonString(own && !own->id.empty() ? own->id : function.instanceId)) +
          L", " + member(L"problem", std::to_wstring(function.problem)) + L"}");
    }
  std::vector<std::wstring> members = {
      member(L"format", std::to_wstring(kJsonFormat)), member(L"time", jsonString(time)),
      member(L"splitAudio", splitAudio ? L"true" : L"false"),
      member(L"units", joined(L'[', unitItems, L']', layout, 1)),
      member(L"report", joined(L'[', pairs, L']', layout, 1))};
  if (seen) members.push_back(member(L"seen", joined(L'[', seenItems, L']', layout, 1)));
  return joined(L'{', members, L'}', layout, 0);
}

std::wstring ConsoleOutput(const ConsoleOptions& options, const UnitList& units,
                           const ReportList& report, bool splitAudio, std::wstring_view time,
                           const ReportNames* names, const std::vector<SeenFunction>* seen) {
  const HelpSystem system =
      options.platform == ConsolePlatform::kLinux ? HelpSystem::kLinux : HelpSystem::kWindows;
  if (options.json) {
    const JsonLayout layout = options.watch ? JsonLayout::kOneLine : JsonLayout::kIndented;
    return ReportJson(units, report, splitAudio, time, layout, names, system, seen) + L"\n";
  }
  ReportList lines = names ? WithDeviceNames(WithPortUses(report, *names), *names, units) : report;
  lines = WithExplanations(lines, system);
  if (seen) lines = WithSeenLines(lines, units, *seen, names);
  const std::wstring text = ReportText(lines);
  if (options.watch) return std::wstring(time) + L"\n" + text + L"\n";
  return text;
}

std::optional<std::wstring> RoleName(const DeviceUnit& unit, std::wstring_view roleName,
                                     const ReportNames* names, bool kernelNode) {
  for (const RoleView& view : rolesOf(unit)) {
    if (view.name != roleName) continue;
    if (!view.complete || !*view.node || !(*view.node)->found()) return std::nullopt;
    const DeviceNode& node = **view.node;
    const DeviceNames* own = namesOf(names, *node.instanceId);
    if (view.kind == RoleKind::kAudio && own && !own->alsa.empty()) return own->alsa;
    if (view.kind == RoleKind::kPort && own && !kernelNode) {
      if (const std::wstring stable = stableNameOf(unit, view); hasLink(*own, stable))
        return stable;
      if (!own->link.empty()) return oneLine(own->link);
    }
    const std::optional<std::wstring>& text =
        view.kind == RoleKind::kPort ? node.portName : node.friendlyName;
    if (!text || text->empty()) return std::nullopt;
    return oneLine(*text);
  }
  return std::nullopt;
}

RoleAnswer AnswerRole(const UnitList& units, const ConsoleOptions& options,
                      const ReportNames* names) {
  const std::wstring role = options.role.value_or(L"");
  if (units.units.empty())
    return {{}, options.serial ? L"kqports: no unit with S/N " + *options.serial + L" is attached\n"
                               : L"kqports: no Quorvanta KQ-6200 is attached\n",
            kExitNoUnit};
  if (units.units.size() > 1)
    return {{}, L"kqports: " + std::to_wstring(units.units.size()) +
                    L" units are attached; name one with --serial\n",
            kExitBadUsage};
  const DeviceUnit& unit = units.units.front();
  if (const std::optional<std::wstring> name = RoleName(unit, role, names, options.kernelNode))
    return {*name + L"\n", {}, kExitOk};
  return {{}, L"kqports: the unit with S/N " + oneLine(unit.serial) + L" has no " + role +
                  L" device in order; kqports --serial " + oneLine(unit.serial) +
                  L" says why\n",
          kExitNoUnit};
}

void KeepSerial(UnitList& units, std::wstring_view serial) {
  std::vector<DeviceUnit> kept;
  IdList claimed;
  for (DeviceUnit& unit : units.units)
    if (unit.serial == serial) {
      claimed.push_back(unit.mcuInstanceId);
      kept.push_back(std::move(unit));
    }
  units.units = std::move(kept);
  units.claimedIds = std::move(claimed);
}

int ExitCodeFor(const UnitList& units) {
  return units.units.empty() ? kExitNoUnit : kExitOk;
}

namespace {
std::map<std::wstring, PortUse> usesOf(const ReportNames* names) {
  std::map<std::wstring, PortUse> uses;
  if (names)
    for (const auto& [id, own] : *names)
      if (own.use) uses.emplace(id, *own.use);
  return uses;
}

bool sameUses(const std::map<std::wstring, PortUse>& a, const std::map<std::wstring, PortUse>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && SameUse(x.second, y.second);
  });
}
}  // namespace

bool ReportChanged(ReportWatch& watch, const ReportList& report, const ReportNames* names) {
  const auto same = [](const ReportLine& a, const ReportLine& b) {
    return a.text == b.text && a.id == b.id;
  };
  std::map<std::wstring, PortUse> uses = usesOf(names);
  if (!watch.last ||
      !std::equal(watch.last->begin(), watch.last->end(), report.begin(), report.end(), same)) {
    watch.last = report;
    watch.printedUses = watch.checkedUses = std::move(uses);
    watch.unsettled = 0;
    return true;
  }
  if (sameUses(uses, watch.printedUses)) {
    watch.checkedUses = std::move(uses);
    watch.unsettled = 0;
    return false;
  }
  const bool settled = sameUses(uses, watch.checkedUses);
  watch.checkedUses = uses;
  if (!settled && ++watch.unsettled < kMostUnsettledChecks) return false;
  watch.printedUses = std::move(uses);
  watch.unsettled = 0;
  return true;
}

std::wstring WithCrLf(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16);
  for (const wchar_t c : text) {
    if (c == L'\n') out += L'\r';
    out += c;
  }
  return out;
}

}  // namespace kq
