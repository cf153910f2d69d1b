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

// A role: null unless its component's walk is complete and found its device;
// then the device's port or endpoint name (null when the device has none)
// and its instance ID, and with `names` what the system names it besides.
std::wstring role(bool complete, const std::optional<DeviceNode>& node, RoleKind kind,
                  const ReportNames* names) {
  if (!complete || !node || !node->found()) return L"null";
  const std::optional<std::wstring>& text =
      kind == RoleKind::kPort ? node->portName : node->friendlyName;
  const DeviceNames* own = namesOf(names, *node->instanceId);
  std::wstring out = L"{" + member(L"name", text ? jsonString(*text) : L"null") + L", " +
                     member(L"id", jsonString(own ? own->id : *node->instanceId));
  if (names) {
    if (kind == RoleKind::kPort)
      out += L", " + member(L"link", own ? orNull(own->link) : L"null");
    else
      out += L", " + member(L"alsa", own ? orNull(own->alsa) : L"null") + L", " +
             member(L"description", own ? orNull(own->description) : L"null");
  }
  return out + L"}";
}

std::wstring unitJson(const DeviceUnit& unit, JsonLayout layout, int depth,
                      const ReportNames* names) {
  const bool ftdi = unit.ftdiStatus == kStatusComplete;
  const bool mcu = unit.mcuStatus == kStatusComplete && unit.mcuDriversPresent;
  const bool audio = unit.audioStatus == kStatusComplete;
  // Without split audio the codec's interface is the one audio device, and
  // it serves as both input and output.
  const std::optional<DeviceNode>& audioIn = unit.splitAudio ? unit.audioInNode : unit.audioOutNode;
  return joined(L'{',
                {member(L"serial", jsonString(unit.serial)),
                 member(L"mcuStatus", std::to_wstring(static_cast<int>(unit.mcuStatus))),
                 member(L"ftdiStatus", std::to_wstring(static_cast<int>(unit.ftdiStatus))),
                 member(L"audioStatus", std::to_wstring(static_cast<int>(unit.audioStatus))),
                 member(L"cat", role(ftdi, unit.catNode, RoleKind::kPort, names)),
                 member(L"ptt", role(ftdi, unit.pttNode, RoleKind::kPort, names)),
                 member(L"fsk", role(mcu, unit.fskNode, RoleKind::kPort, names)),
                 member(L"winkey", role(mcu, unit.winkeyNode, RoleKind::kPort, names)),
                 member(L"audioIn", role(audio, audioIn, RoleKind::kAudio, names)),
                 member(L"audioOut", role(audio, unit.audioOutNode, RoleKind::kAudio, names))},
                L'}', layout, depth);
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

ReportList WithDeviceNames(const ReportList& report, const ReportNames& names) {
  ReportList out = report;
  for (ReportLine& line : out) {
    const DeviceNames* own = namesOf(&names, line.id);
    if (!own) continue;
    if (!own->link.empty()) line.text += L" (" + own->link + L")";
    line.id = own->id;
  }
  return out;
}

std::wstring ReportJson(const UnitList& units, const ReportList& report, bool splitAudio,
                        std::wstring_view time, JsonLayout layout, const ReportNames* names) {
  std::vector<std::wstring> unitItems;
  for (const DeviceUnit& unit : units.units)
    unitItems.push_back(unitJson(unit, layout, 2, names));
  // The pairs exactly as the window gets them, TABs included.
  std::vector<std::wstring> pairs;
  for (const ReportLine& line : names ? WithDeviceNames(report, *names) : report)
    pairs.push_back(L"[" + jsonString(line.text) + L", " + jsonString(line.id) + L"]");
  return joined(L'{',
                {member(L"format", std::to_wstring(kJsonFormat)),
                 member(L"time", jsonString(time)),
                 member(L"splitAudio", splitAudio ? L"true" : L"false"),
                 member(L"units", joined(L'[', unitItems, L']', layout, 1)),
                 member(L"report", joined(L'[', pairs, L']', layout, 1))},
                L'}', layout, 0);
}

std::wstring ConsoleOutput(const ConsoleOptions& options, const UnitList& units,
                           const ReportList& report, bool splitAudio, std::wstring_view time,
                           const ReportNames* names) {
  if (options.json) {
    const JsonLayout layout = options.watch ? JsonLayout::kOneLine : JsonLayout::kIndented;
    return ReportJson(units, report, splitAudio, time, layout, names) + L"\n";
  }
  const std::wstring text = ReportText(names ? WithDeviceNames(report, *names) : report);
  if (options.watch) return std::wstring(time) + L"\n" + text + L"\n";
  return text;
}

int ExitCodeFor(const UnitList& units) {
  return units.units.empty() ? kExitNoUnit : kExitOk;
}

bool ReportChanged(ReportWatch& watch, const ReportList& report) {
  const auto same = [](const ReportLine& a, const ReportLine& b) {
    return a.text == b.text && a.id == b.id;
  };
  if (watch.last &&
      std::equal(watch.last->begin(), watch.last->end(), report.begin(), report.end(), same))
    return false;
  watch.last = report;
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
