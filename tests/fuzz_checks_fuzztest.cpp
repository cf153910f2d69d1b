// The fuzz targets' own parts: the report check must reject every malformed
// report (a check that accepts anything finds nothing), and the tree
// generator must write trees the reader takes, healthy where the bytes run
// out. Built with the fuzz targets only (clang).
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "fuzz/report_check.h"
#include "fuzz/tree_gen.h"
#include "sim/sim_control.h"
#include "tests/tree_fixture.h"

namespace kq::test {

namespace {

memcm::Tree parsed(const std::string& text) {
  memcm::Tree tree;
  std::string error;
  EXPECT_TRUE(sim::parseDevtree(text, "test.devtree", &tree, &error)) << error;
  return tree;
}

// The example unit's report with split audio and drivers, and its tree's IDs.
struct Example {
  FoldedIds ids = idsOf(parsed(kOneUnit));
  ReportList report;
  Example() {
    loadTree(kOneUnit);
    report = UnitList(true, true).fullReport();
  }
};

TEST(ReportCheck, AcceptsWhatTheWalkMakes) {
  Example example;
  EXPECT_EQ(reportProblem(example.report, {true, true, &example.ids}), "");
  EXPECT_EQ(reportProblem({{kNotFoundLine, L""}}, {true, true, &example.ids}), "");
  loadTree(kOneUnit);
  EXPECT_EQ(reportProblem(UnitList(true, false).fullReport(), {true, false, &example.ids}), "");
  loadTree(replaced(kOneUnit, kMcu, R"(usb\vid_0483&pid_a1df\205112345)"));
  EXPECT_EQ(reportProblem(UnitList(false, true).fullReport(), {false, true, &example.ids}), "");
}

// The FTDI section as one error line in place of the CAT and PTT/CW lines.
void ftdiError(ReportList& r, const wchar_t* text, std::wstring id = L"") {
  r.erase(r.begin() + 2);
  r[1] = {text, std::move(id)};
}

struct Damage {
  const char* name;
  std::function<void(ReportList&)> apply;
  bool splitAudio = true;
  bool mcuDriversPresent = true;
};

TEST(ReportCheck, RejectsEveryMalformedReport) {
  // Lines 0 header, 1 CAT, 2 PTT/CW, 3 FSK, 4 WinKey, 5 input, 6 output.
  const Damage damages[] = {
      {"empty", [](ReportList& r) { r.clear(); }},
      {"nul", [](ReportList& r) { r[1].text += L'\0'; }},
      {"nulInId", [](ReportList& r) { r[1].id += L'\0'; }},
      {"shortSerial", [](ReportList& r) { r[0].text.pop_back(); }},
      {"noHeader", [](ReportList& r) { r.erase(r.begin()); }},
      {"idOnHeader", [](ReportList& r) { r[0].id = r[1].id; }},
      {"portWithoutId", [](ReportList& r) { r[2].id.clear(); }},
      {"idNotInTree", [](ReportList& r) { r[3].id += L"X"; }},
      {"otherLabel", [](ReportList& r) { r[1].text.replace(4, 3, L"CAX"); }},
      {"swappedPorts", [](ReportList& r) { std::swap(r[1], r[2]); }},
      {"cutShort", [](ReportList& r) { r.pop_back(); }},
      {"extraLine", [](ReportList& r) { r.push_back(r[6]); }},
      {"notFoundWithUnit", [](ReportList& r) { r.insert(r.begin(), {kNotFoundLine, L""}); }},
      {"codeZero", [](ReportList& r) { ftdiError(r, L"    FTDI ErrorCode: 0"); }},
      {"codeNotResolved", [](ReportList& r) { ftdiError(r, L"    FTDI ErrorCode: 127"); }},
      {"leadingZero", [](ReportList& r) { ftdiError(r, L"    FTDI ErrorCode: 09"); }},
      {"errorWithId", [](ReportList& r) { ftdiError(r, L"    FTDI ErrorCode: 9", r[1].id); }},
      {"portsWithoutDrivers", [](ReportList&) {}, true, false},
      {"noDriversWithDrivers", [](ReportList& r) {
         r.erase(r.begin() + 4);
         r[3] = {L"    WinKey & FSK - no drivers", L""};
       }},
      {"splitLinesUnsplit", [](ReportList&) {}, false, true},
  };
  Example example;
  for (const Damage& d : damages) {
    ReportList report = example.report;
    d.apply(report);
    EXPECT_NE(reportProblem(report, {d.splitAudio, d.mcuDriversPresent, &example.ids}), "") << d.name;
  }
}

TEST(ClaimCheck, NamesUnitsMissedClaimedTwiceOrNoUnit) {
  const memcm::Tree tree = parsed(kOneUnit + "USB\\VID_0483&PID_A1DF\\2051 desc=x\n");
  const std::set<std::wstring> units = unitsIn(tree[0], true);
  EXPECT_EQ(units, std::set<std::wstring>{w(kMcu)});  // the bare prefix is too short for a serial
  EXPECT_TRUE(unitsIn(tree[0], false).empty());       // the Windows 7 prefix is lower case
  UnitList list(true, true);
  list.claimedIds = {w(kMcu)};
  EXPECT_EQ(claimProblem(list, units), "");
  list.claimedIds = {};
  EXPECT_NE(claimProblem(list, units), "");
  list.claimedIds = {w(kMcu), w(kMcu)};
  EXPECT_NE(claimProblem(list, units), "");
  list.claimedIds = {w(kMcu), L"USB\\VID_0483&PID_A1DF\\2051"};
  EXPECT_NE(claimProblem(list, units), "");
}

TEST(TreeGen, ExhaustedBytesGiveOneCompleteUnit) {
  for (bool windows7 : {false, true}) {
    FuzzedDataProvider none(nullptr, 0);
    loadTree(generateTree(none, windows7));
    const ReportList report = UnitList(!windows7, true).fullReport();
    ASSERT_EQ(report.size(), windows7 ? 6u : 7u) << windows7;
    for (const ReportLine& line : report) EXPECT_EQ(line.text.find(L"ErrorCode"), std::wstring::npos);
  }
}

TEST(TreeGen, EveryTextLoadsAndPassesTheChecks) {
  std::mt19937 random(6200);
  int units = 0;
  for (int run = 0; run < 300; ++run) {
    std::vector<uint8_t> bytes(random() % 600);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    FuzzedDataProvider in(bytes.data(), bytes.size());
    const bool windows7 = run % 2 == 1;
    const std::string text = generateTree(in, windows7);
    const memcm::Tree tree = parsed(text);
    loadTree(text);
    const UnitList list(!windows7, true);
    const FoldedIds ids = idsOf(tree);
    ASSERT_EQ(reportProblem(list.fullReport(), {!windows7, true, &ids}), "") << text;
    units += static_cast<int>(list.units.size());
  }
  EXPECT_GT(units, 100);  // the trees hold units the walk finds, not only noise
}

}  // namespace

}  // namespace kq::test
