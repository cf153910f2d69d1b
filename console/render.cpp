#include "console/render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/json_text.h"
#include "base/one_line.h"
#include "devtree/device_node.h"

namespace kq {

namespace {

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

// The link the packaged rules give a port of a unit: /dev/kq6200/<serial>/<role>.
std::wstring stableNameOf(std::wstring_view serial, Role role) {
  const char* link = roleInfo(role).linkName;
  if (!link) return {};
  return L"/dev/kq6200/" + std::wstring(serial) + L"/" + std::wstring(link, link + std::strlen(link));
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

const ReportNames* namesIn(const ConsoleReport& report) {
  return report.names ? &*report.names : nullptr;
}

// A value with what the system names its device besides: after a port's
// name its links (the rules' link of its own unit and role, when udev made
// it, and its link by ID); an audio endpoint as its ALSA name, the plughw
// name beside it, and its card. `serial` is the unit's whose line it is.
std::wstring namedValue(const ReportItem& item, const DeviceNames* own, std::wstring_view serial) {
  if (!own || item.kind != LineKind::kRole) return item.value;
  if (roleInfo(item.role).kind == RoleKind::kAudio) {
    if (own->alsa.empty()) return item.value;
    const std::wstring plug = plugName(own->alsa);
    const std::wstring server = SoundServerName(*own, item.role);
    return own->alsa + (plug.empty() ? L"" : L" or " + plug) + L" (" + own->description +
           (server.empty() ? L"" : L", " + server) + L")";
  }
  std::vector<std::wstring> links;
  const std::wstring stable = stableNameOf(serial, item.role);
  if (hasLink(*own, stable)) links.push_back(stable);
  if (!own->link.empty()) links.push_back(own->link);
  std::wstring value = item.value;
  for (size_t i = 0; i < links.size(); ++i)
    value += (i ? L", " : L" (") + links[i] + (i + 1 == links.size() ? L")" : L"");
  return value;
}

// Each item of the report with its names, and the serial of the unit it
// belongs to, for the formatters below.
template <typename Visit>
void forEachNamed(const ConsoleReport& report, Visit visit) {
  std::wstring serial;
  for (const ReportItem& item : report.report) {
    if (item.kind == LineKind::kHeader) {
      serial = item.value;
      // A labelled unit's header: "Quorvanta KQ6200 S/N 40117 (IC7300)".
      if (const std::wstring label = LabelOf(report, serial); !label.empty()) {
        ReportItem labelled = item;
        labelled.value += L" (" + label + L")";
        visit(labelled, nullptr, labelled.value);
        continue;
      }
    }
    const DeviceNames* own = item.id.empty() ? nullptr : namesOf(namesIn(report), item.id);
    visit(item, own, namedValue(item, own, serial));
  }
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

namespace {

// A line of the text: a role's label and its value, which line up with the
// other values, or a line as it is.
struct TextLine {
  std::wstring head;
  std::optional<std::wstring> value;
};

TextLine textLine(const ReportItem& item, std::wstring value) {
  if (item.kind == LineKind::kRole || item.kind == LineKind::kAudioDevice)
    return {ItemLabel(item), std::move(value)};
  return {DisplayLine(item), std::nullopt};
}

// The list box lines the values up at its tab stops; here the widest label
// of the whole report sets the column, so every unit's values line up too.
std::wstring textOf(const std::vector<TextLine>& lines) {
  size_t column = 0;
  for (const TextLine& line : lines)
    if (line.value) column = std::max(column, line.head.size());
  std::wstring out;
  for (const TextLine& line : lines) {
    out += OneLine(line.head);
    if (line.value) {
      out.append(column - line.head.size(), L' ');
      out += L" - " + OneLine(*line.value);
    }
    out += L'\n';
  }
  return out;
}

// The lines under a port for what there is to act on.
void addUseLines(std::vector<TextLine>& lines, const PortUse& use) {
  if (!use.holders.empty()) {
    std::wstring text = L"        open in ";
    for (size_t i = 0; i < use.holders.size(); ++i)
      text += (i ? L", " : L"") + use.holders[i].command + L" (pid " +
              std::to_wstring(use.holders[i].pid) + L")";
    lines.push_back({text, std::nullopt});
  }
  if (!use.mayOpen)
    lines.push_back({L"        you may not open it: " + use.accessHelp + L".", std::nullopt});
  if (use.modemManagerRunning && !use.modemManagerIgnores)
    lines.push_back({L"        ModemManager is running and may probe this port with AT commands, "
                     L"which can key the transmitter: install the udev rules (kqports "
                     L"--udev-rules) and plug the unit in again.",
                     std::nullopt});
}

// The processes not looked at for holders are the same for every port: said
// once, after the units, when any port's use says it.
std::wstring uninspectedHelpOf(const ConsoleReport& report) {
  if (!report.names) return {};
  for (const auto& [id, names] : *report.names)
    if (names.use && !names.use->uninspectedHelp.empty()) return names.use->uninspectedHelp;
  return {};
}

// Where a seen function is: on Linux its USB port ("1-4.2", the last part
// of its sysfs path), on Windows its instance ID.
std::wstring placeOf(const SeenFunction& function, const ReportNames* names) {
  const DeviceNames* own = namesOf(names, function.instanceId);
  if (!own || own->id.empty()) return L"as " + function.instanceId;
  return L"on USB port " + own->id.substr(own->id.rfind(L'/') + 1);
}

// "40117, 40262"
std::wstring serialList(const std::vector<std::wstring>& serials) {
  std::wstring out;
  for (size_t i = 0; i < serials.size(); ++i) out += (i ? L", " : L"") + serials[i];
  return out;
}

// The seen lines, when they were looked for and no unit was found.
ReportList seenLinesOf(const ConsoleReport& report) {
  if (!report.seen || !report.units.units.empty()) return {};
  return SeenLines(*report.seen, namesIn(report));
}

}  // namespace

ConsoleReport EnumerateForConsole(bool splitAudio, const ConsoleOptions& options,
                                  const UnitLabels& systemLabels) {
  // There is no driver gate here: every enumeration counts the maker's
  // drivers as present, as a window does unless its user declined them.
  ConsoleReport out{UnitList(splitAudio, true), {}, splitAudio, std::nullopt, std::nullopt, {}, {}};
  out.labels = systemLabels;
  for (const auto& [serial, label] : options.labels) out.labels[serial] = label;
  std::vector<std::wstring> attached;
  for (const DeviceUnit& unit : out.units.units) attached.push_back(OneLine(unit.serial));
  if (options.serial) KeepSerial(out.units, *options.serial, out.labels);
  out.report = out.units.report();
  // Which functions of a unit are there is worth saying when no unit is; when
  // units are there but not the one of --serial, which they are.
  if (out.units.units.empty() && !attached.empty())
    out.others = std::move(attached);
  if (out.others.empty())
    out.seen = out.units.units.empty() ? SeenFunctions() : std::vector<SeenFunction>();
  return out;
}

std::wstring ReportText(const Report& report) {
  std::vector<TextLine> lines;
  for (const ReportItem& item : report) lines.push_back(textLine(item, item.value));
  return textOf(lines);
}

std::wstring LinesText(const ReportList& lines) {
  std::vector<TextLine> text;
  for (const ReportLine& line : lines) text.push_back({line.text, std::nullopt});
  return textOf(text);
}

std::wstring ConsoleText(const ConsoleReport& report, HelpSystem system) {
  std::vector<TextLine> lines;
  forEachNamed(report, [&](const ReportItem& item, const DeviceNames* own, std::wstring value) {
    lines.push_back(textLine(item, std::move(value)));
    if (own && own->use && (item.kind == LineKind::kRole || item.kind == LineKind::kAudioDevice))
      addUseLines(lines, *own->use);
    if (item.kind != LineKind::kError) return;
    if (const StatusHelp* help = FindStatusHelp(item.walk, item.code))
      lines.push_back({L"        " + PlainText(help->meaning) + L". " +
                           PlainText(RemedyFor(*help, system)) + L".",
                       std::nullopt});
  });
  if (const std::wstring help = uninspectedHelpOf(report); !help.empty())
    lines.push_back({help, std::nullopt});
  for (const ReportLine& line : seenLinesOf(report)) lines.push_back({line.text, std::nullopt});
  if (!report.others.empty())
    lines.push_back({L"        Attached: the units with S/N " + serialList(report.others) + L".",
                     std::nullopt});
  return textOf(lines);
}

ReportList NamedLines(const ConsoleReport& report) {
  ReportList out;
  forEachNamed(report, [&](const ReportItem& item, const DeviceNames* own, std::wstring value) {
    ReportItem named = item;
    named.value = std::move(value);
    out.push_back({DisplayLine(named), own ? own->id : item.id});
  });
  return out;
}

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
                        std::wstring(walkInfo(function.walk).function) + L" " +
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

ReportList WatchedLines(const ConsoleReport& report) {
  ReportList out = DisplayLines(report.report);
  const ReportList seen = seenLinesOf(report);
  out.insert(out.end(), seen.begin(), seen.end());
  return out;
}

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

std::wstring ConsoleOutput(const ConsoleOptions& options, const ConsoleReport& report,
                           std::wstring_view time) {
  const HelpSystem system =
      options.platform == ConsolePlatform::kLinux ? HelpSystem::kLinux : HelpSystem::kWindows;
  if (options.json) {
    const JsonLayout layout = options.watch ? JsonLayout::kOneLine : JsonLayout::kIndented;
    return ReportJson(report, time, layout, system) + L"\n";
  }
  const std::wstring text = ConsoleText(report, system);
  if (options.watch) return std::wstring(time) + L"\n" + text + L"\n";
  return text;
}

std::optional<std::wstring> RoleName(const UnitItems& unit, Role role, const ReportNames* names,
                                     bool kernelNode, std::wstring_view label) {
  const ReportItem* item = RoleItem(unit, role);
  if (!item || !item->inOrder) return std::nullopt;
  const DeviceNames* own = namesOf(names, item->id);
  if (roleInfo(role).kind == RoleKind::kAudio && own && !own->alsa.empty()) return own->alsa;
  if (roleInfo(role).kind == RoleKind::kPort && own && !kernelNode) {
    // The link of the unit's label where the labelling rules made it.
    if (const std::wstring named = label.empty() ? std::wstring() : stableNameOf(label, role);
        hasLink(*own, named))
      return named;
    if (const std::wstring stable = stableNameOf(unit.serial, role); hasLink(*own, stable))
      return stable;
    if (!own->link.empty()) return OneLine(own->link);
  }
  if (item->value.empty()) return std::nullopt;
  return OneLine(item->value);
}


std::wstring SoundServerName(const DeviceNames& names, Role role) {
  if (names.soundServer.empty()) return {};
  return (role == Role::kAudioIn ? L"alsa_input." : L"alsa_output.") + names.soundServer +
         L"." + kCodecProfile;
}

RoleAnswer NoUnitAnswer(const ConsoleReport& report, const ConsoleOptions& options) {
  if (!options.serial) return {{}, L"kqports: no Quorvanta KQ-6200 is attached\n", kExitNoUnit};
  return {{}, L"kqports: no unit with S/N " + *options.serial + L" is attached" +
                  (report.others.empty() ? L"" : L"; attached: " + serialList(report.others)) +
                  L"\n",
          kExitNoUnit};
}

RoleAnswer AnswerRole(const ConsoleReport& report, const ConsoleOptions& options) {
  const std::vector<UnitItems> units = ReportUnits(report.report);
  const std::wstring role = options.role.value_or(L"");
  if (units.empty()) return NoUnitAnswer(report, options);
  if (units.size() > 1) {
    std::vector<std::wstring> serials;
    for (const UnitItems& unit : units) serials.push_back(OneLine(unit.serial));
    return {{}, L"kqports: " + std::to_wstring(units.size()) + L" units are attached (" +
                    serialList(serials) + L"); name one with --serial\n",
            kExitBadUsage};
  }
  const UnitItems& unit = units.front();
  const std::optional<Role> known = findRole(role);
  if (const std::optional<std::wstring> name =
          known ? RoleName(unit, *known, namesIn(report), options.kernelNode,
                           LabelOf(report, unit.serial))
                : std::nullopt)
    return {*name + L"\n", {}, kExitOk};
  return {{}, L"kqports: the unit with S/N " + OneLine(unit.serial) + L" has no " + role +
                  L" device in order; kqports --serial " + OneLine(unit.serial) +
                  L" says why\n",
          kExitNoUnit};
}

std::wstring LabelOf(const ConsoleReport& report, const std::wstring& serial) {
  const auto found = report.labels.find(serial);
  return found == report.labels.end() ? std::wstring() : found->second;
}

void KeepSerial(UnitList& units, std::wstring_view serial, const UnitLabels& labels) {
  // A serial names its unit; a label names the unit it labels, unless a
  // unit has that serial.
  const bool bySerial = std::any_of(units.units.begin(), units.units.end(),
                                    [&](const DeviceUnit& unit) { return unit.serial == serial; });
  const auto wanted = [&](const DeviceUnit& unit) {
    if (bySerial) return unit.serial == serial;
    const auto found = labels.find(unit.serial);
    return found != labels.end() && found->second == serial;
  };
  std::vector<DeviceUnit> kept;
  IdList claimed;
  for (DeviceUnit& unit : units.units)
    if (wanted(unit)) {
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
