#include "fuzz/report_check.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/ascii.h"
#include "base/utf8.h"

namespace kq::test {
namespace {

// The line shapes, written out here rather than taken from units/ so that a
// changed label in the report is a finding, not a new rule.
constexpr std::wstring_view kHeader = L"Quorvanta KQ6200 S/N ";
constexpr std::wstring_view kErrorEntry = L"Error entry";
constexpr std::wstring_view kNotFound = L"Quorvanta KQ-6200 not found";
constexpr std::wstring_view kNoDrivers = L"    WinKey & FSK - no drivers";
constexpr std::wstring_view kCat = L"    CAT Port \t - ";
constexpr std::wstring_view kPtt = L"    PTT/CW Port \t - ";
constexpr std::wstring_view kFsk = L"    FSK Port \t - ";
constexpr std::wstring_view kWinkey = L"    WinKey Port \t - ";
constexpr std::wstring_view kAudioIn = L"    Audio Input \t - ";
constexpr std::wstring_view kAudioOut = L"    Audio Output\t - ";
constexpr std::wstring_view kAudioDevice = L"    Audio device\t - ";
constexpr std::wstring_view kSerialPrefixes[] = {L"USB\\VID_0483&PID_A1DF\\2051",
                                                 L"usb\\vid_0483&pid_a1df\\2051"};
constexpr size_t kSerialLength = 5;
constexpr size_t kMinMcuIdLength = 31;
constexpr int kLastStep = 125;  // status codes above name no step of a walk

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Walks the report line by line; each expect* consumes the line it accepts.
struct Checker {
  const ReportList& report;
  const ReportRules& rules;
  size_t at = 0;
  std::string problem;

  bool fail(const std::string& what) {
    if (problem.empty()) problem = "line " + std::to_string(at) + ": " + what;
    return false;
  }
  bool more() const { return at < report.size(); }
  const ReportLine& line() const { return report[at]; }

  bool expectNoId() {
    if (!line().id.empty()) return fail("a line that names no device carries an ID");
    ++at;
    return true;
  }

  // "    FTDI ErrorCode: N" with N a step of the walk, written without sign or
  // leading zero.
  bool isError(std::wstring_view component) const {
    if (!more()) return false;
    const std::wstring prefix = L"    " + std::wstring(component) + L" ErrorCode: ";
    if (!startsWith(line().text, prefix)) return false;
    const std::wstring_view digits = std::wstring_view(line().text).substr(prefix.size());
    if (digits.empty() || digits.size() > 3 || digits[0] == L'0') return false;
    int n = 0;
    for (wchar_t c : digits) {
      if (c < L'0' || c > L'9') return false;
      n = n * 10 + (c - L'0');
    }
    return n <= kLastStep;
  }

  // A port or audio line: its label, any name, and the ID of a node of the tree.
  bool expectDevice(std::wstring_view label) {
    if (!more()) return fail("report ends where a line '" + encodeUtf8(label) + "' belongs");
    if (!startsWith(line().text, label))
      return fail("expected '" + encodeUtf8(label) + "', got '" + encodeUtf8(line().text) + "'");
    if (line().id.empty()) return fail("a device line without an instance ID");
    if (rules.treeIds && rules.treeIds->count(toAsciiUpper(line().id)) == 0)
      return fail("instance ID " + encodeUtf8(line().id) + " is no node of the tree");
    ++at;
    return true;
  }

  bool expectUnitBlock() {
    if (line().text == kErrorEntry) return expectNoId();
    if (!startsWith(line().text, kHeader) || line().text.size() != kHeader.size() + kSerialLength)
      return fail("expected a unit header, got '" + encodeUtf8(line().text) + "'");
    if (!expectNoId()) return false;

    if (isError(L"FTDI")) {
      if (!expectNoId()) return false;
    } else if (!expectDevice(kCat) || !expectDevice(kPtt)) {
      return false;
    }

    if (isError(L"MCU")) {
      if (!expectNoId()) return false;
    } else if (more() && line().text == kNoDrivers) {
      if (rules.mcuDriversPresent) return fail("'no drivers' although the drivers are present");
      if (!expectNoId()) return false;
    } else if (!rules.mcuDriversPresent) {
      return fail("WinKey and FSK ports listed although their drivers are absent");
    } else if (!expectDevice(kFsk) || !expectDevice(kWinkey)) {
      return false;
    }

    if (isError(L"AUDIO")) return expectNoId();
    if (rules.splitAudio) return expectDevice(kAudioIn) && expectDevice(kAudioOut);
    return expectDevice(kAudioDevice);
  }
};

}  // namespace

std::string reportProblem(const ReportList& report, const ReportRules& rules) {
  if (report.empty()) return "empty report";
  for (size_t i = 0; i < report.size(); ++i) {
    if (report[i].text.find(L'\0') != std::wstring::npos || report[i].id.find(L'\0') != std::wstring::npos)
      return "line " + std::to_string(i) + ": embedded NUL";
  }
  Checker check{report, rules, 0, {}};
  if (report[0].text == kNotFound) {
    if (report.size() != 1) return "the not-found line is not alone";
    check.expectNoId();
    return check.problem;
  }
  while (check.more() && check.expectUnitBlock()) {
  }
  return check.problem;
}

FoldedIds idsOf(const memcm::Tree& tree) {
  FoldedIds ids;
  for (const memcm::Snapshot& snapshot : tree)
    for (const memcm::Node& node : snapshot.nodes) ids.insert(toAsciiUpper(node.id));
  return ids;
}

std::set<std::wstring> unitsIn(const memcm::Snapshot& snapshot, bool splitAudio) {
  const std::wstring_view prefix = kSerialPrefixes[splitAudio ? 0 : 1];
  std::set<std::wstring> units;
  for (const memcm::Node& node : snapshot.nodes) {
    if (node.present && node.setupClass == memcm::SetupClass::Usb && startsWith(node.id, prefix) &&
        node.id.size() >= kMinMcuIdLength)
      units.insert(node.id);
  }
  return units;
}

std::string claimProblem(const UnitList& list, const std::set<std::wstring>& expected) {
  std::set<std::wstring> claimed;
  for (const std::wstring& id : list.claimedIds) {
    if (!claimed.insert(id).second) return "claimed twice: " + encodeUtf8(id);
    if (expected.count(id) == 0) return "claimed although no unit: " + encodeUtf8(id);
  }
  for (const std::wstring& id : expected)
    if (claimed.count(id) == 0) return "unit not found: " + encodeUtf8(id);
  return {};
}

void abortWith(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "==== %s\n==== tree:\n%s\n==== end of tree\n", what.c_str(), text.c_str());
  std::abort();
}

void enumerateAndCheck(const std::string& text, const memcm::Tree& tree, bool splitAudio,
                       bool mcuDriversPresent) {
  const UnitList list(splitAudio, mcuDriversPresent);
  const ReportList report = list.fullReport();
  const FoldedIds ids = idsOf(tree);
  std::string problem = reportProblem(report, {splitAudio, mcuDriversPresent, &ids});
  if (problem.empty() && tree.size() == 1) problem = claimProblem(list, unitsIn(tree[0], splitAudio));
  if (problem.empty()) return;
  std::string lines;
  for (const ReportLine& line : report) lines += "  [" + encodeUtf8(line.text) + "] [" + encodeUtf8(line.id) + "]\n";
  abortWith(problem + (splitAudio ? " (split audio" : " (one audio device") +
                (mcuDriversPresent ? ", drivers present)" : ", no drivers)") + "\n==== report:\n" + lines,
            text);
}

}  // namespace kq::test
