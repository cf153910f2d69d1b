#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/shell_logic.h"
#include "tests/tree_fixture.h"
#include "units/unit_list.h"

namespace kq::test {


namespace {

TEST(ShellStartUp, AFailedMessageLoopEndsWithCodeOne) {
  EXPECT_EQ(kq::MessageLoopExitCode(0, 0), 0);      // WM_QUIT from PostQuitMessage(0)
  EXPECT_EQ(kq::MessageLoopExitCode(0, 3), 3);
  EXPECT_EQ(kq::MessageLoopExitCode(-1, 0), 1);     // never a success by accident
  EXPECT_EQ(kq::MessageLoopExitCode(-1, 0x0201), 1);  // nor an earlier message's wParam
}

TEST(ShellLayout, TypicalMetricsPlaceEveryControl) {
  const int x = kq::FrameAllowanceX(4);
  const int y = kq::FrameAllowanceY(4, 23, x);
  EXPECT_EQ(x, 16);
  EXPECT_EQ(y, 40);  // 27 * 9 / 10 = 24 (fraction dropped), plus 16

  const kq::MainLayout layout = kq::ComputeMainLayout(x, y);
  EXPECT_EQ(layout.clientWidth, 454);
  EXPECT_EQ(layout.clientHeight, 460);
  auto rect = [](const kq::ControlRect& r) {
    return std::vector<int>{r.x, r.y, r.width, r.height};
  };
  EXPECT_EQ(rect(layout.copyButton), (std::vector<int>{5, 425, 70, 30}));
  EXPECT_EQ(rect(layout.exitButton), (std::vector<int>{379, 425, 70, 30}));
  EXPECT_EQ(rect(layout.portList), (std::vector<int>{5, 0, 444, 430}));
  EXPECT_EQ(rect(layout.hintLabel), (std::vector<int>{105, 425, 244, 15}));
}

TEST(ShellLayout, MissingPaddedBorderMetricUsesTheWholeWidth) {
  const int x = kq::FrameAllowanceX(0);
  EXPECT_EQ(x, 0);
  // 29 * 9 = 261 -> 26, with no padded border added.
  EXPECT_EQ(kq::FrameAllowanceY(3, 26, x), 26);
  const kq::MainLayout layout = kq::ComputeMainLayout(x, 26);
  EXPECT_EQ(layout.clientWidth, 470);
  EXPECT_EQ(layout.exitButton.x, 395);
  EXPECT_EQ(layout.portList.width, 460);
  EXPECT_EQ(layout.hintLabel.width, 260);
}

TEST(ShellLayout, CentringTruncatesTowardZero) {
  EXPECT_EQ(kq::CentreMainWindow(1920, 1080).x, 725);
  EXPECT_EQ(kq::CentreMainWindow(1920, 1080).y, 290);
  EXPECT_EQ(kq::CentreMainWindow(1366, 768).x, 448);
  EXPECT_EQ(kq::CentreMainWindow(1366, 768).y, 134);
  EXPECT_EQ(kq::CentreMainWindow(400, 500).x, -35);
  EXPECT_EQ(kq::CentreMainWindow(400, 500).y, 0);
  // -69 / 2 is -34, not the floor -35.
  EXPECT_EQ(kq::CentreMainWindow(401, 431).x, -34);
  EXPECT_EQ(kq::CentreMainWindow(401, 431).y, -34);
}

TEST(ShellClipboard, NotFoundReportIsOneLineWithLineFeed) {
  const ReportList report{{kq::kNotFoundLine, L""}};
  const std::wstring text = kq::ClipboardText(report);
  EXPECT_EQ(text, L"Quorvanta KQ-6200 not found\n");
  EXPECT_EQ(text.size(), 28u);
}

TEST(ShellClipboard, LinesKeepTabsAndLoseTheirIds) {
  const ReportList report{{L"Quorvanta KQ6200 S/N 12345", L""},
                          {L"    CAT Port \t - COM9", L"FTDIBUS\\X\\0000"},
                          {L"", L"SWD\\Y"},
                          {L"    Audio Output\t - Speakers", L"SWD\\Z"}};
  EXPECT_EQ(kq::ClipboardText(report),
            L"Quorvanta KQ6200 S/N 12345\n    CAT Port \t - COM9\n\n    Audio Output\t - Speakers\n");
  EXPECT_EQ(kq::ClipboardText(ReportList{}), L"");
}

TEST(ShellClipboard, CompleteUnitGivesSevenLinesWithoutInstanceIds) {
  kq::test::loadTree(kq::test::kOneUnit);
  const std::wstring text = kq::ClipboardText(kq::UnitList(true, true).fullReport());
  EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 7);
  EXPECT_EQ(text.back(), L'\n');
  EXPECT_EQ(text.find(L"\r"), std::wstring::npos);
  EXPECT_EQ(text.find(L"USB\\"), std::wstring::npos);
  EXPECT_EQ(text.find(L"SWD\\"), std::wstring::npos);
  EXPECT_EQ(text.rfind(L"Quorvanta KQ6200 S/N 12345\n    CAT Port \t - COM9\n", 0), 0u);
}

TEST(ShellRows, OnlyRowsNamingADeviceGiveAnId) {
  const kq::RowIds rows{L"", L"FTDIBUS\\VID_0403+PID_6010+KQ6A1B2CA\\0000", L""};
  EXPECT_FALSE(kq::SelectedDeviceId(rows, -1));  // LB_ERR: nothing selected
  EXPECT_FALSE(kq::SelectedDeviceId(rows, 0));   // header row
  ASSERT_TRUE(kq::SelectedDeviceId(rows, 1));
  EXPECT_EQ(*kq::SelectedDeviceId(rows, 1), rows[1]);
  EXPECT_FALSE(kq::SelectedDeviceId(rows, 2));
  EXPECT_FALSE(kq::SelectedDeviceId(rows, 3));   // beyond the rows of the last refresh
  EXPECT_FALSE(kq::SelectedDeviceId(rows, -2));
  EXPECT_FALSE(kq::SelectedDeviceId(kq::RowIds{}, 0));
}

std::wstring ParametersText(const kq::PropertiesParameters& parameters) {
  return std::wstring(parameters.text.data());
}

TEST(ShellProperties, PrefixIsSixtyOneCharactersEndingInTheInsertPoint) {
  kq::PropertiesParameters parameters;
  kq::PreparePropertiesParameters(parameters);
  EXPECT_EQ(parameters.idInsertPoint, 61u);
  EXPECT_EQ(ParametersText(parameters),
            L"devmgr.dll,DeviceProperties_RunDLL /MachineName \"\" /DeviceID ");
}

TEST(ShellProperties, IdFollowsThePrefixAndAShorterOneReplacesALongerOne) {
  kq::PropertiesParameters parameters;
  kq::PreparePropertiesParameters(parameters);
  const std::wstring prefix = ParametersText(parameters);

  const std::wstring longId = L"USB\\VID_0483&PID_A1DF&MI_02\\6&1A2B3C4&0&0002";
  ASSERT_TRUE(kq::SetPropertiesDeviceId(parameters, longId));
  EXPECT_EQ(ParametersText(parameters), prefix + longId);

  ASSERT_TRUE(kq::SetPropertiesDeviceId(parameters, L"SWD\\A"));
  EXPECT_EQ(ParametersText(parameters), prefix + L"SWD\\A");
}

TEST(ShellProperties, EveryValidInstanceIdFitsAndLongerOnesAreRefused) {
  kq::PropertiesParameters parameters;
  kq::PreparePropertiesParameters(parameters);
  const std::wstring prefix = ParametersText(parameters);

  // 198 characters was the limit of a 260-character buffer; valid IDs reach 200.
  for (std::size_t length : {198u, 199u, 200u}) {
    const std::wstring id(length, L'X');
    ASSERT_TRUE(kq::SetPropertiesDeviceId(parameters, id)) << length;
    EXPECT_EQ(ParametersText(parameters), prefix + id);
  }

  const std::wstring kept = L"USB\\VID_0403&PID_6010\\KQ6A1B2C";
  ASSERT_TRUE(kq::SetPropertiesDeviceId(parameters, kept));
  EXPECT_FALSE(kq::SetPropertiesDeviceId(parameters, std::wstring(201, L'Y')));
  EXPECT_FALSE(kq::SetPropertiesDeviceId(parameters, std::wstring(5000, L'Y')));
  EXPECT_EQ(ParametersText(parameters), prefix + kept);
  EXPECT_EQ(parameters.text.back(), L'\0');
}

}  // namespace

}  // namespace kq::test
