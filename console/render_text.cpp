// The report as text: the window's rows with each value in one column, the
// lines to act on under them, and what was seen when no unit was.
#include <algorithm>
#include <string>
#include <vector>

#include "base/one_line.h"
#include "base/word_list.h"
#include "console/named_items.h"
#include "console/render.h"

namespace kq {
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

// The seen lines, when they were looked for and no unit was found.
ReportList seenLinesOf(const ConsoleReport& report) {
  if (!report.seen || !report.units.units.empty()) return {};
  return SeenLines(*report.seen, namesIn(report));
}

}  // namespace

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
    lines.push_back({L"        Attached: the units with S/N " + WordList(report.others, L", ") + L".",
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

}  // namespace kq
