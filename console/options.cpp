#include "console/options.h"

#include <iterator>

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

// "cat, ptt, fsk, winkey, audioIn or audioOut"
std::wstring roleWords() {
  std::wstring words;
  const size_t count = std::size(kRoles);
  for (size_t i = 0; i < count; ++i)
    words += (i == 0 ? L"" : i + 1 == count ? L" or " : L", ") + std::wstring(kRoles[i].name);
  return words;
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
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    const Flag* match = nullptr;
    for (const Flag& flag : kFlags)
      if (argument == flag.text) match = &flag;
    if (match) {
      options.*(match->field) = true;
    } else if (onLinux && argument == L"--udev-rules") {
      options.udevRules = true;
    } else if (argument == L"--serial" || argument == L"--role") {
      if (i + 1 == arguments.size())
        return bad(parsed, argument, argument + L" needs a value after it");
      const std::wstring& value = arguments[++i];
      if (argument == L"--serial") {
        if (!isPlainSerial(value))
          return bad(parsed, value, L"\"" + value + L"\" is not a serial: " + kWhatASerialIs);
        options.serial = value;
      } else {
        if (!findRole(value))
          return bad(parsed, value, L"\"" + value + L"\" is not a role: " + roleWords());
        options.role = value;
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
  if (options.udevRules && (options.json || options.watch || options.serial || options.role))
    return bad(parsed, L"--udev-rules",
               L"--udev-rules prints the rules file and takes no other option but serials");
  if (options.role && (options.json || options.watch))
    return bad(parsed, L"--role", L"--role prints one name and takes neither --json nor --watch");
  options.serials = std::move(positional);
  return parsed;
}

std::wstring UsageErrorText(const ParsedArguments& parsed) {
  const std::wstring problem =
      parsed.problem.empty()
          ? L"unknown argument \"" + parsed.badArgument.value_or(L"") + L"\""
          : parsed.problem;
  return L"kqports: " + problem + L"; kqports --help lists the options\n";
}

std::wstring HelpText(ConsolePlatform platform) {
  if (platform == ConsolePlatform::kLinux)
    return L"Usage: kqports [--json] [--watch] [--serial SERIAL]\n"
           L"       kqports [--serial SERIAL] --role ROLE\n"
           L"       kqports --udev-rules [SERIAL...]\n"
           L"Lists every Quorvanta KQ-6200 attached, with the serial ports (device node\n"
           L"and stable links) and the ALSA sound card its channels became; under a port,\n"
           L"the programs that have it open, why you may not open it, and whether\n"
           L"ModemManager may probe it. No port is opened to find this out. When no unit\n"
           L"is found, which of its USB functions are there.\n"
           L"\n"
           L"  --json        one JSON document (\"format\": 1) instead of text\n"
           L"  --watch       print the report again each time it changes, following\n"
           L"                udev's events and looking at the ports' holders once a\n"
           L"                second, each time with the local time; Ctrl+C ends it.\n"
           L"                With --json, one JSON document per line.\n"
           L"  --serial S    report only the unit whose S/N is S (five letters or digits)\n"
           L"  --role ROLE   print only the name of one of the unit's devices, on one line:\n"
           L"                cat, ptt, fsk or winkey (its device node), audioIn or audioOut\n"
           L"                (its ALSA name); needs --serial when more than one unit is attached\n"
           L"  --udev-rules  print the udev rules that name every unit stably (the file\n"
           L"                the package installs), or only the units whose SERIALs are\n"
           L"                given: /dev/kq6200/SERIAL/cat, ptt, fsk and winkey, and the\n"
           L"                ALSA card KQSERIAL\n"
           L"  --help        this text\n"
           L"  --version     the program's version\n"
           L"\n"
           L"Exit codes: 0 when at least one unit is found, 1 when none is (or not the\n"
           L"unit or role asked for), 2 for bad usage, 3 when the devices could not be\n"
           L"read or the output could not be written.\n";
  return L"Usage: kqports [--json] [--watch] [--serial SERIAL]\n"
         L"       kqports [--serial SERIAL] --role ROLE\n"
         L"Lists every Quorvanta KQ-6200 attached, with the COM ports and audio devices\n"
         L"its channels became, as the Quorvanta KQ-6200 Ports window shows them; when\n"
         L"no unit is found, which of its USB functions are there.\n"
         L"\n"
         L"  --json        one JSON document (\"format\": 1) instead of text\n"
         L"  --watch       print the report again each time it changes, checked once a\n"
         L"                second, each time with the local time; Ctrl+C ends it.\n"
         L"                With --json, one JSON document per line.\n"
         L"  --serial S    report only the unit whose S/N is S (five letters or digits)\n"
         L"  --role ROLE   print only the name of one of the unit's devices, on one line:\n"
         L"                cat, ptt, fsk or winkey (its COM port), audioIn or audioOut\n"
         L"                (its audio device); needs --serial when more than one unit\n"
         L"                is attached\n"
         L"  --help        this text\n"
         L"  --version     the program's version\n"
         L"\n"
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
