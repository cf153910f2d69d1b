// Prints every output the programs make of one device tree, for the
// comparison of two builds (render_all.py): for each layout (Windows 7's and
// split audio) with the maker's drivers present and declined, the list box's
// rows with their IDs, the clipboard text, kqports' text and JSON once and
// under --watch, for Windows and with Linux's remedies, and what --role and
// --serial print. The time is a fixed text.
//
//   kq_dump_outputs FILE.devtree
//   kq_dump_outputs --folder DIR   every .devtree file of DIR by name, each
//                                  after a line "### NAME"
//
// Built for the host and for Windows: the scenarios compare what the x86 and
// the x64 programs' code prints with the host's, tree by tree.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

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

// `name` stands for the file in what the reader says of it.
int run(const std::string& text, const std::string& name) {
  for (const bool splitAudio : {false, true})
    for (const bool drivers : {true, false}) {
      std::string error;
      if (!sim::loadTreeText(text, name, &error)) {
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

bool readFile(const std::filesystem::path& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

// Errors and exit codes go to standard output too, so that one stream holds
// all there is to compare.
int runFolder(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".devtree") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string text;
    std::fputs(("### " + name + "\n").c_str(), stdout);
    if (!readFile(folder / name, &text)) return 2;
    std::fflush(stdout);
    const int code = run(text, name);
    std::fflush(stderr);
    std::fputs(("== exit " + std::to_string(code) + "\n").c_str(), stdout);
  }
  return names.empty() ? 1 : 0;
}

}  // namespace
}  // namespace kq::test

int main(int argc, char** argv) {
#ifdef _WIN32
  // The same bytes as on the host: LF, not CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  if (argc == 3 && std::string(argv[1]) == "--folder") return kq::test::runFolder(argv[2]);
  std::string text;
  if (argc != 2) {
    std::fputs("usage: kq_dump_outputs FILE.devtree | --folder DIR\n", stderr);
    return 1;
  }
  if (!kq::test::readFile(argv[1], &text)) {
    std::fprintf(stderr, "%s: cannot open the file\n", argv[1]);
    return 2;
  }
  return kq::test::run(text, argv[1]);
}
