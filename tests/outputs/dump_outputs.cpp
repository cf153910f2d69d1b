// Prints every output the programs make of one device tree, for the
// comparison of two builds (render_all.py): for each layout (Windows 7's and
// split audio) with the maker's drivers present and declined, the list box's
// rows with their IDs, the clipboard text, kqports' text and JSON once and
// under --watch, for Windows and with Linux's remedies, and what --role and
// --serial print. The time is a fixed text.
//
//   kq_dump_outputs FILE.devtree
#include <cstdio>
#include <string>
#include <vector>

#include "app/shell_logic.h"
#include "base/utf8.h"
#include "console/options.h"
#include "console/render.h"
#include "sim/sim_control.h"
#include "units/unit_list.h"

namespace kq::test {
namespace {

constexpr wchar_t kTime[] = L"2000-01-02T03:04:05+00:00";

void print(const std::string& title, const std::wstring& text) {
  std::fputs(("== " + title + "\n" + encodeUtf8(text) + "\n").c_str(), stdout);
}

std::wstring pairs(const ReportList& report) {
  std::wstring out;
  for (const ReportLine& line : report) out += L"[" + line.text + L"] [" + line.id + L"]\n";
  return out;
}

void printConsole(const std::string& title, ConsoleOptions options, const ConsoleReport& report) {
  for (const bool json : {false, true})
    for (const bool watch : {false, true}) {
      options.json = json;
      options.watch = watch;
      print(title + (json ? " json" : " text") + (watch ? " watch" : ""),
            ConsoleOutput(options, report, kTime));
    }
}

void printRoles(const UnitList& units, bool splitAudio, ConsoleOptions options) {
  std::vector<std::optional<std::wstring>> serials = {std::nullopt};
  for (const DeviceUnit& unit : units.units) serials.push_back(unit.serial);
  for (const std::optional<std::wstring>& serial : serials)
    for (const wchar_t* role : {L"cat", L"ptt", L"fsk", L"winkey", L"audioIn", L"audioOut"}) {
      options.serial = serial;
      options.role = role;
      ConsoleReport kept{units, {}, splitAudio, std::nullopt, std::nullopt, {}, {}};
      if (serial) KeepSerial(kept.units, *serial);
      kept.report = kept.units.report();
      const RoleAnswer answer = AnswerRole(kept, options);
      print("role " + encodeUtf8(role) + (serial ? " --serial " + encodeUtf8(*serial) : ""),
            answer.out + L"|" + answer.err + L"|" + std::to_wstring(answer.exitCode));
    }
}

int run(const char* file) {
  for (const bool splitAudio : {false, true})
    for (const bool drivers : {true, false}) {
      std::string error;
      if (!sim::loadTreeFile(file, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
      }
      const std::string variant = std::string(splitAudio ? "split" : "legacy") +
                                  (drivers ? "" : " no-drivers");
      ConsoleReport console{UnitList(splitAudio, drivers), {}, splitAudio, std::nullopt,
                            std::nullopt, {}, {}};
      const UnitList& units = console.units;
      console.report = units.report();
      console.seen = units.units.empty() ? SeenFunctions() : std::vector<SeenFunction>();
      const ReportList report = units.fullReport();
      print(variant + ": list box", pairs(report));
      print(variant + ": clipboard", ClipboardText(report));
      ConsoleOptions options;
      printConsole(variant + ": windows", options, console);
      options.platform = ConsolePlatform::kLinux;
      printConsole(variant + ": linux remedies", options, console);
      print(variant + ": exit code", std::to_wstring(ExitCodeFor(units)));
      if (splitAudio && drivers) printRoles(units, splitAudio, ConsoleOptions());
    }
  return 0;
}

}  // namespace
}  // namespace kq::test

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kq_dump_outputs FILE.devtree\n", stderr);
    return 1;
  }
  return kq::test::run(argv[1]);
}
