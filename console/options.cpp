#include "console/options.h"

#include <algorithm>
#include <iterator>

#include "base/ascii.h"
#include "base/one_line.h"
#include "base/word_list.h"
#include "base/wrapped.h"
#include "res/version.h"
#include "units/device_unit.h"
#include "units/roles.h"

namespace kq {

namespace {

struct Flag {
  const wchar_t* text;
  bool ConsoleOptions::*field;
};

// "/?" because Windows users type it; "-h" because everyone else does.
constexpr Flag kFlags[] = {
    {L"--json", &ConsoleOptions::json}, {L"--watch", &ConsoleOptions::watch},
    {L"--help", &ConsoleOptions::help}, {L"-h", &ConsoleOptions::help},
    {L"/?", &ConsoleOptions::help},     {L"--version", &ConsoleOptions::version},
};

}  // namespace

namespace {

constexpr wchar_t kWhatASerialIs[] =
    L"a serial is the five letters or digits after S/N in the report";

// Every role's --role word, in the table's order, as a sentence lists them.
std::wstring roleWords() {
  std::vector<std::wstring> words;
  for (const RoleInfo& role : kRoles) words.emplace_back(role.name);
  return WordList(words);
}

// The role a word names, whatever its letter case, as the roles' table
// spells it; empty for another word.
std::wstring_view roleNamed(std::wstring_view text) {
  const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; };
  for (const RoleInfo& role : kRoles)
    if (role.name.size() == text.size() &&
        std::equal(role.name.begin(), role.name.end(), text.begin(),
                   [&](wchar_t x, wchar_t y) { return lower(x) == lower(y); }))
      return role.name;
  return {};
}

// Takes "SERIAL=NAME" into `labels`; what is wrong with it, or nothing.
std::wstring addLabel(UnitLabels& labels, const std::wstring& given) {
  const size_t equals = given.find(L'=');
  const std::wstring serial = given.substr(0, equals);
  const std::wstring label = equals == std::wstring::npos ? std::wstring() : given.substr(equals + 1);
  const std::wstring quoted = L"\"" + OneLine(given) + L"\"";
  if (equals == std::wstring::npos || !isPlainSerial(serial))
    return quoted + L" is no label: --label takes SERIAL=NAME, " + kWhatASerialIs;
  if (!isPlainLabel(label))
    return quoted + L" is no label: a label is 1 to " + std::to_wstring(kMaxLabelLength) +
           L" letters, digits, '-' and '_'";
  if (labels.count(serial)) return quoted + L": the unit with S/N " + serial + L" has a label already";
  // Letter case aside: the programs' files and folders named by a label are
  // one on Windows either way.
  for (const auto& [other, taken] : labels)
    if (equalsIgnoringAsciiCase(taken, label))
      return quoted + L": the label " + taken + L" is the unit " + other + L"'s already";
  labels[serial] = label;
  return {};
}

// The PTT/CW port's line a word names, in any letter case.
std::optional<ControlLine> lineNamed(std::wstring_view word) {
  for (const ControlLine line : {ControlLine::kRts, ControlLine::kDtr})
    if (equalsIgnoringAsciiCase(LineName(line), word)) return line;
  return std::nullopt;
}

// How the unit's PTT/CW port is wired, for the help: "RTS keys PTT, DTR keys CW".
std::wstring keyingWords() {
  return std::wstring(LineName(kUnitKeyingLines.ptt)) + L" keys PTT, " +
         std::wstring(LineName(kUnitKeyingLines.cw)) + L" keys CW";
}

// "--serial=40117" is "--serial" with its value written into it; only a
// long option carries one so.
struct Written {
  std::wstring option;
  std::optional<std::wstring> value;
};

Written splitValue(const std::wstring& argument) {
  const size_t equals = argument.find(L'=');
  if (argument.rfind(L"--", 0) != 0 || equals == std::wstring::npos) return {argument, {}};
  return {argument.substr(0, equals), argument.substr(equals + 1)};
}

ParsedArguments bad(ParsedArguments parsed, std::wstring argument, std::wstring problem) {
  parsed.badArgument = std::move(argument);
  parsed.problem = std::move(problem);
  return parsed;
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::wstring>& arguments,
                               ConsolePlatform platform) {
  ParsedArguments parsed;
  ConsoleOptions& options = parsed.options;
  options.platform = platform;
  const bool onLinux = platform == ConsolePlatform::kLinux;
  std::vector<std::wstring> positional;
  std::vector<std::wstring> given;  // each option once, as its first spelling names it
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    const auto [option, written] = splitValue(argument);
    const Flag* match = nullptr;
    for (const Flag& flag : kFlags)
      if (option == flag.text) match = &flag;
    const bool valued = option == L"--serial" || option == L"--role" || option == L"--for" ||
                        option == L"--ptt-line" || option == L"--label";
    const bool linuxFlag = onLinux && (option == L"--udev-rules" || option == L"--node");
    if ((match || valued || linuxFlag) && option != L"--label") {
      // -h, /? and --help are one option.
      std::wstring name = option;
      if (match)
        for (const Flag& flag : kFlags)
          if (flag.field == match->field) {
            name = flag.text;
            break;
          }
      if (std::find(given.begin(), given.end(), name) != given.end())
        return bad(parsed, argument, L"\"" + option + L"\" is given twice; give it once");
      given.push_back(name);
    }
    if ((match || linuxFlag) && written)
      return bad(parsed, argument, L"\"" + option + L"\" takes no value");
    if (match) {
      options.*(match->field) = true;
    } else if (option == L"--udev-rules" && onLinux) {
      options.udevRules = true;
    } else if (option == L"--node" && onLinux) {
      options.kernelNode = true;
    } else if (valued) {
      if (!written && i + 1 == arguments.size())
        return bad(parsed, argument, argument + L" needs a value after it");
      const std::wstring value = written ? *written : arguments[++i];
      if (option == L"--serial") {
        if (!isPlainSerial(value) && !isPlainLabel(value))
          return bad(parsed, value,
                     L"\"" + value + L"\" is neither a serial nor a label: " + kWhatASerialIs);
        options.serial = value;
      } else if (option == L"--label") {
        if (const std::wstring problem = addLabel(options.labels, value); !problem.empty())
          return bad(parsed, value, problem);
      } else if (option == L"--for") {
        options.program = FindProgram(value);
        if (!options.program)
          return bad(parsed, value,
                     L"\"" + value + L"\" is not a program kqports knows: " + ProgramWords());
      } else if (option == L"--ptt-line") {
        const std::optional<ControlLine> line = lineNamed(value);
        if (!line) return bad(parsed, value, L"\"" + value + L"\" is not a line: rts or dtr");
        options.keying = KeyingWithPttOn(*line);
      } else {
        const std::wstring_view role = roleNamed(value);
        if (role.empty())
          return bad(parsed, value, L"\"" + value + L"\" is not a role: " + roleWords());
        options.role = std::wstring(role);
      }
    } else if (!argument.empty() && argument[0] != L'-' && argument[0] != L'/') {
      positional.push_back(argument);  // a serial for --udev-rules, wherever that stands
    } else {
      return bad(parsed, argument, {});
    }
  }
  if (options.help || options.version) return parsed;
  for (const std::wstring& argument : positional) {
    if (!isPlainSerial(argument))
      return bad(parsed, argument,
                 options.udevRules ? L"\"" + argument + L"\" is not a serial: " + kWhatASerialIs
                                   : std::wstring());
    if (!options.udevRules)
      return bad(parsed, argument,
                 L"a serial alone is no option; kqports --serial " + argument +
                     L" reports that unit" +
                     (onLinux ? L", kqports --udev-rules " + argument + L" prints its rules"
                              : L""));
  }
  // A label that is another labelled unit's serial would share its links.
  for (const auto& [serial, label] : options.labels)
    for (const auto& [other, unused] : options.labels)
      if (other != serial && equalsIgnoringAsciiCase(other, label))
        return bad(parsed, serial + L"=" + label,
                   L"\"" + serial + L"=" + label + L"\" is no label: " + label +
                       L" is the serial of another unit given");
  if (options.udevRules &&
      (options.json || options.watch || options.serial || options.role || options.program))
    return bad(parsed, L"--udev-rules",
               L"--udev-rules prints the rules file and takes no other option but serials "
               L"or labels");
  if (options.udevRules && !options.labels.empty() && !positional.empty())
    return bad(parsed, L"--udev-rules",
               L"--udev-rules prints the rules for serials or the rules for labels, not both");
  if (options.role && (options.json || options.watch))
    return bad(parsed, L"--role", L"--role prints one name and takes neither --json nor --watch");
  if (options.program && (options.json || options.watch || options.role))
    return bad(parsed, L"--for",
               L"--for prints a program's settings and takes neither --json, --watch nor --role");
  if (std::find(given.begin(), given.end(), L"--ptt-line") != given.end() && !options.program)
    return bad(parsed, L"--ptt-line", L"--ptt-line goes with --for: it says which line keys PTT");
  if (options.kernelNode && !options.role)
    return bad(parsed, L"--node", L"--node goes with --role: it prints a port's kernel node");
  options.serials = std::move(positional);
  return parsed;
}

LabelCheck CheckLabels(const UnitLabels& given, const UnitLabels& all,
                       const std::vector<std::wstring>& attached) {
  LabelCheck out;
  for (const auto& [serial, label] : given) {
    // Another unit called so would take this one's links, --serial and
    // settings, or this one its.
    std::wstring taken;
    for (const std::wstring& other : attached)
      if (!equalsIgnoringAsciiCase(other, serial) && equalsIgnoringAsciiCase(other, label))
        taken = label + L" is the S/N of another unit attached";
    for (const auto& [other, otherLabel] : all)
      if (!equalsIgnoringAsciiCase(other, serial) && equalsIgnoringAsciiCase(otherLabel, label))
        taken = label + L" is the label of the unit with S/N " + other + L" already";
    if (!taken.empty()) {
      ParsedArguments parsed;
      parsed.problem = L"\"" + serial + L"=" + label + L"\" is no label: " + taken;
      return {UsageErrorText(parsed), {}};
    }
    if (std::none_of(attached.begin(), attached.end(), [&](const std::wstring& other) {
          return equalsIgnoringAsciiCase(other, serial);
        }))
      out.notes += L"kqports: no unit with S/N " + serial + L" is attached: the label " + label +
                   L" names none\n";
  }
  return out;
}

std::wstring UsageErrorText(const ParsedArguments& parsed) {
  const std::wstring problem =
      parsed.problem.empty()
          ? L"unknown argument \"" + parsed.badArgument.value_or(L"") + L"\""
          : parsed.problem;
  return L"kqports: " + problem + L"; kqports --help lists the options\n";
}

namespace {

// Where the options' meanings start. The paragraphs made from the roles'
// table keep the width each was first laid out at, so that the help stays
// what the documents quote.
constexpr std::wstring_view kColumn = L"                ";

// The help's lines of --label, --for and --ptt-line, the same on both systems.
std::wstring forHelp() {
  return L"  --label S=NAME\n"
         L"                call the unit whose S/N is S NAME, in the report and --for,\n"
         L"                and let --serial take NAME (1 to " + std::to_wstring(kMaxLabelLength) +
         L" letters, digits, - and _);\n"
         L"                once for each unit\n"
         L"  --for PROGRAM print the settings PROGRAM takes from the units, in its own\n"
         L"                keys and lines: " + ProgramWords() + L"\n"
         L"  --ptt-line L  with --for, the PTT/CW port's line that keys PTT: rts (the\n"
         L"                unit's own wiring: " + keyingWords() + L") or dtr\n";
}

// What the help says on one system only; the rest is the same on both.
struct SystemHelp {
  std::wstring roleUsage;   // after "--role ROLE" in the usage
  std::wstring moreUsage;   // the usage's further lines
  std::wstring about;       // what kqports lists
  std::wstring watch;       // --watch's meaning up to its line on --json
  std::wstring role;        // --role's meaning after its first line
  std::wstring afterRole;   // options between --role and --label
  std::wstring beforeHelp;  // options between --ptt-line and --help
  std::wstring version;     // what --version prints besides the version
};

SystemHelp linuxHelp() {
  return {L" [--node]",
          L"       kqports --udev-rules [SERIAL...]\n"
          L"       kqports --udev-rules --label SERIAL=NAME...\n",
          L"Lists every Quorvanta KQ-6200 attached, with the serial ports (device node\n"
          L"and stable links) and the ALSA sound card its channels became; under a port,\n"
          L"the programs that have it open, why you may not open it, and whether\n"
          L"ModemManager may probe it. No port is opened to find this out. When no unit\n"
          L"is found, which of its USB functions are there.\n",
          L"following\n"
          L"                udev's events and looking at the ports' holders once a\n"
          L"                second (less often where a look costs more than 1 % of a\n"
          L"                core), each time with the local time; Ctrl+C ends it.\n",
          Wrapped(RoleWords(RoleKind::kPort) +
                     L" (the name that lasts from one plug-in to the next: the rules' " +
                     LinkPath(L"SERIAL", L"ROLE") +
                     L", else its /dev/serial/by-id/ link, else its device node), " +
                     RoleWords(RoleKind::kAudio) +
                     L" (its ALSA name by card id); needs --serial when more than one unit "
                     L"is attached",
                  kColumn, 77),
          L"  --node        with --role, a port's device node (/dev/ttyUSB0) instead\n",
          L"  --udev-rules  print the udev rules that name every unit stably (the file\n"
          L"                the package installs), or only the units whose SERIALs are\n"
          L"                given: " + LinkPath(L"SERIAL", LinkNames()) + L", and the\n"
          L"                ALSA card KQSERIAL; with --label, the rules to install beside\n"
          L"                those that add " + LinkPath(L"NAME", L"ROLE") + L" and the label\n",
          L""};
}

SystemHelp windowsHelp() {
  return {L"",
          L"",
          L"Lists every Quorvanta KQ-6200 attached, with the COM ports and audio devices\n"
          L"its channels became, as the Quorvanta KQ-6200 Ports window shows them; when\n"
          L"no unit is found, which of its USB functions are there.\n",
          L"checked once a\n"
          L"                second, each time with the local time; Ctrl+C ends it.\n",
          Wrapped(RoleWords(RoleKind::kPort) + L" (its COM port), " + RoleWords(RoleKind::kAudio) +
                     L" (its audio device); needs --serial when more than one unit is attached",
                  kColumn, 76),
          L"",
          L"",
          L", and the machine Windows runs on"};
}

}  // namespace

std::wstring HelpText(ConsolePlatform platform) {
  const SystemHelp system = platform == ConsolePlatform::kLinux ? linuxHelp() : windowsHelp();
  return L"Usage: kqports [--json] [--watch] [--serial SERIAL] [--label SERIAL=NAME]...\n"
         L"       kqports [--serial SERIAL] --role ROLE" + system.roleUsage + L"\n"
         L"       kqports [--serial SERIAL] --for PROGRAM [--ptt-line rts|dtr]\n"
         L"               [--label SERIAL=NAME]...\n" +
         system.moreUsage + system.about +
         L"\n"
         L"  --json        one JSON document (\"format\": 1) instead of text\n"
         L"  --watch       print the report again each time it changes, " + system.watch +
         L"                With --json, one JSON document per line.\n"
         L"  --serial S    report only the unit whose S/N is S (five letters or digits)\n"
         L"  --role ROLE   print only the name of one of the unit's devices, on one line:\n" +
         system.role + system.afterRole + forHelp() + system.beforeHelp +
         L"  --help        this text\n"
         L"  --version     the program's version" + system.version + L"\n"
         L"\n"
         L"Each option but --label is given once; a value may follow after \"=\"\n"
         L"(--serial=40117), a role in any letter case.\n"
         L"Exit codes: 0 when at least one unit is found, 1 when none is (or not the\n"
         L"unit or role asked for), 2 for bad usage, 3 when the devices could not be\n"
         L"read or the output could not be written.\n";
}

std::wstring VersionText(std::wstring_view nativeMachine) {
  std::wstring text = L"kqports " KQ_VERSION_TEXT L"\n";
  if (!nativeMachine.empty()) text += L"native machine: " + std::wstring(nativeMachine) + L"\n";
  return text;
}

}  // namespace kq
