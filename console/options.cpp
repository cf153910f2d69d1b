#include "console/options.h"

#include "res/version.h"
#include "units/device_unit.h"

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

ParsedArguments ParseArguments(const std::vector<std::wstring>& arguments,
                               ConsolePlatform platform) {
  ParsedArguments parsed;
  const bool onLinux = platform == ConsolePlatform::kLinux;
  for (const std::wstring& argument : arguments) {
    const Flag* match = nullptr;
    for (const Flag& flag : kFlags)
      if (argument == flag.text) match = &flag;
    if (match) {
      parsed.options.*(match->field) = true;
    } else if (onLinux && argument == L"--udev-rules") {
      parsed.options.udevRules = true;
    } else if (onLinux && parsed.options.udevRules && isPlainSerial(argument)) {
      parsed.options.serials.push_back(argument);
    } else {
      parsed.badArgument = argument;
      return parsed;
    }
  }
  return parsed;
}

std::wstring UsageErrorText(std::wstring_view badArgument) {
  return L"kqports: unknown argument \"" + std::wstring(badArgument) +
         L"\"; kqports --help lists the options\n";
}

std::wstring HelpText(ConsolePlatform platform) {
  if (platform == ConsolePlatform::kLinux)
    return L"Usage: kqports [--json] [--watch]\n"
           L"       kqports --udev-rules [SERIAL...]\n"
           L"Lists every Quorvanta KQ-6200 attached, with the serial ports (device node\n"
           L"and stable link) and the ALSA sound card its channels became.\n"
           L"\n"
           L"  --json        one JSON document (\"format\": 1) instead of text\n"
           L"  --watch       print the report again each time it changes, following\n"
           L"                udev's events, each time with the local time; Ctrl+C ends it.\n"
           L"                With --json, one JSON document per line.\n"
           L"  --udev-rules  print the udev rules that name every unit stably (the file\n"
           L"                the package installs), or only the units whose SERIALs are\n"
           L"                given: /dev/kq6200/SERIAL/cat, ptt, fsk and winkey, and the\n"
           L"                ALSA card KQSERIAL\n"
           L"  --help        this text\n"
           L"  --version     the program's version\n"
           L"\n"
           L"Exit codes: 0 when at least one unit is found, 1 when none is, 2 for bad usage.\n";
  return L"Usage: kqports [--json] [--watch]\n"
         L"Lists every Quorvanta KQ-6200 attached, with the COM ports and audio devices\n"
         L"its channels became, as the Quorvanta KQ-6200 Ports window shows them.\n"
         L"\n"
         L"  --json     one JSON document (\"format\": 1) instead of text\n"
         L"  --watch    print the report again each time it changes, checked once a\n"
         L"             second, each time with the local time; Ctrl+C ends it.\n"
         L"             With --json, one JSON document per line.\n"
         L"  --help     this text\n"
         L"  --version  the program's version\n"
         L"\n"
         L"Exit codes: 0 when at least one unit is found, 1 when none is, 2 for bad usage.\n";
}

std::wstring VersionText() { return L"kqports " KQ_VERSION_TEXT L"\n"; }

}  // namespace kq
