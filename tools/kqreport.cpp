// kqreport: one enumeration against a simulated device tree, printed as JSON.
//
//   kqreport [--split-audio] [--no-mcu-drivers] [--stats] FILE.devtree
//   kqreport --status-table | --status-text
//
// stdout: one JSON array of [display line, instance ID] pairs.
// stderr (--stats): last line is a JSON object with the configuration-manager
// calls the enumeration made. --status-table prints docs/kqports.md's table of
// error codes, meanings and remedies instead, --status-text the zip README.txt's
// list of them with the Windows remedies. Exit codes: 0 ok, 1 usage, 2 bad
// tree file.
#include <cstdio>
#include <string>

#include "base/json_text.h"
#include "base/utf8.h"
#include "sim/sim_control.h"
#include "units/status_help.h"
#include "units/unit_list.h"

namespace {

int usage() {
  std::fputs("usage: kqreport [--split-audio] [--no-mcu-drivers] [--stats] FILE.devtree\n"
             "       kqreport --status-table | --status-text\n", stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool splitAudio = false;
  bool driversPresent = true;
  bool stats = false;
  const char* file = nullptr;
  if (argc == 2 && std::string(argv[1]) == "--status-table") {
    std::fputs(kq::encodeUtf8(kq::StatusHelpMarkdown()).c_str(), stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--status-text") {
    std::fputs(kq::encodeUtf8(kq::StatusHelpPlain(kq::HelpSystem::kWindows)).c_str(), stdout);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--split-audio") splitAudio = true;
    else if (arg == "--no-mcu-drivers") driversPresent = false;
    else if (arg == "--stats") stats = true;
    else if (arg.rfind("--", 0) == 0 || file) return usage();
    else file = argv[i];
  }
  if (!file) return usage();

  std::string error;
  if (!kq::sim::loadTreeFile(file, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  kq::sim::resetCallCounts();
  const kq::UnitList units(splitAudio, driversPresent);
  const kq::ReportList report = units.fullReport();
  const kq::sim::CallCounts calls = kq::sim::callCounts();

  std::wstring out = L"[";
  for (size_t i = 0; i < report.size(); ++i) {
    if (i) out += L",\n ";
    out += L"[" + kq::jsonString(report[i].text) + L", " + kq::jsonString(report[i].id) + L"]";
  }
  out += L"]\n";
  std::fputs(kq::encodeUtf8(out).c_str(), stdout);

  if (stats) {
    std::fprintf(stderr,
                 "{\"CM_Locate_DevNodeW\": %llu, \"CM_Get_DevNode_PropertyW\": %llu, "
                 "\"CM_Get_Device_ID_List_SizeW\": %llu, \"CM_Get_Device_ID_ListW\": %llu, "
                 "\"total\": %llu}\n",
                 static_cast<unsigned long long>(calls.locate),
                 static_cast<unsigned long long>(calls.property),
                 static_cast<unsigned long long>(calls.listSize),
                 static_cast<unsigned long long>(calls.list),
                 static_cast<unsigned long long>(calls.total()));
  }
  return 0;
}
