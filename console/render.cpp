#include "console/render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/one_line.h"
#include "base/word_list.h"
#include "console/named_items.h"
#include "devtree/device_node.h"

namespace kq {

namespace {

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

ConsoleReport EnumerateForConsole(bool splitAudio, const ConsoleOptions& options,
                                  const UnitLabels& systemLabels) {
  // There is no driver gate here: every enumeration counts the maker's
  // drivers as present, as a window does unless its user declined them.
  ConsoleReport out{UnitList(splitAudio, true), {}, splitAudio, std::nullopt, std::nullopt, {}, {}};
  out.labels = systemLabels;
  for (const auto& [serial, label] : options.labels) out.labels[serial] = label;
  std::vector<std::wstring> attached;
  for (const DeviceUnit& unit : out.units.units) attached.push_back(OneLine(unit.serial));
  out.attached = attached;
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
                  (report.others.empty() ? L"" : L"; attached: " + WordList(report.others, L", ")) +
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
                    WordList(serials, L", ") + L"); name one with --serial\n",
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
