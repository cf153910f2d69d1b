// The real main window, created inside the test process against the simulated
// device tree: its geometry and controls, the refresh, the hint, Copy and Exit.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "app/shell.h"
#include "memcm/memcm.h"
#include "res/resource.h"
#include "tests/tree_fixture.h"

namespace kq::test {

namespace {

constexpr wchar_t kTestClassName[] = L"KQTESTMAINWINDOW";

RECT ClientRectOf(HWND child, HWND parent) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void ExpectPlaced(HWND child, HWND parent, const kq::ControlRect& expected, const char* what) {
  const RECT rect = ClientRectOf(child, parent);
  EXPECT_EQ(rect.left, expected.x) << what;
  EXPECT_EQ(rect.top, expected.y) << what;
  EXPECT_EQ(rect.right - rect.left, expected.width) << what;
  EXPECT_EQ(rect.bottom - rect.top, expected.height) << what;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  return text;
}

DWORD StyleOf(HWND window) { return static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)); }

bool HintShown() { return (StyleOf(hintLabel) & WS_VISIBLE) != 0; }

std::wstring Row(int index) {
  const LRESULT length = SendMessageW(listBox, LB_GETTEXTLEN, index, 0);
  if (length == LB_ERR) return L"<no row>";
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(listBox, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSplitAudio = SplitAudio;
    // Wine without an X display cannot create top-level windows at all.
    HWND probe = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (!probe) GTEST_SKIP() << "no display: top-level windows cannot be created here";
    DestroyWindow(probe);

    Is64BitOs = false;
    // The test binary carries no string table: name the class directly.
    wcscpy(windowClassName, kTestClassName);
    wcscpy(windowTitle, L"Quorvanta KQ-6200 Ports");
    RegisterMainWindowClass(GetModuleHandleW(nullptr));
    ASSERT_TRUE(CreateMainWindow(GetModuleHandleW(nullptr), SW_HIDE));
    window = GetParent(listBox);
    ASSERT_TRUE(IsWindow(window));
  }

  void TearDown() override {
    if (IsWindow(window)) DestroyWindow(window);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    SplitAudio = savedSplitAudio;
    McuDriversPresent = true;
    kq::memcm::clearTree();
  }

  void Command(int id, int notification = 0) {
    HWND control = id == ID_PORT_LIST ? listBox : GetDlgItem(window, id);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, notification),
                 reinterpret_cast<LPARAM>(control));
  }

  void Select(int row) {
    SendMessageW(listBox, LB_SETCURSEL, row, 0);
    Command(ID_PORT_LIST, LBN_SELCHANGE);
  }

  bool savedSplitAudio = false;
  HWND window = nullptr;
};

TEST_F(MainWindowTest, FixedSizeCentredWindowWithTitleBarOnly) {
  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  const kq::WindowOrigin origin = kq::CentreMainWindow(desktop.right, desktop.bottom);

  RECT rect{};
  GetWindowRect(window, &rect);
  EXPECT_EQ(rect.left, origin.x);
  EXPECT_EQ(rect.top, origin.y);
  EXPECT_EQ(rect.right - rect.left, 470);
  EXPECT_EQ(rect.bottom - rect.top, 500);

  const DWORD style = StyleOf(window);
  EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CHILD | WS_POPUP));
  EXPECT_EQ(TextOf(window), L"Quorvanta KQ-6200 Ports");

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), kTestClassName, &windowClass));
  EXPECT_EQ(windowClass.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
  EXPECT_EQ(windowClass.lpfnWndProc, MainWindowProc);
  EXPECT_EQ(windowClass.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
}

TEST_F(MainWindowTest, ControlsHaveTheirIdsStylesAndLayout) {
  EXPECT_EQ(frameAllowanceX, kq::FrameAllowanceX(GetSystemMetrics(SM_CXPADDEDBORDER)));
  EXPECT_EQ(frameAllowanceY, kq::FrameAllowanceY(GetSystemMetrics(SM_CYFRAME),
                                                 GetSystemMetrics(SM_CYCAPTION), frameAllowanceX));
  const kq::MainLayout layout = kq::ComputeMainLayout(frameAllowanceX, frameAllowanceY);

  HWND copy = GetDlgItem(window, ID_COPY_BUTTON);
  HWND exitButton = GetDlgItem(window, ID_EXIT_BUTTON);
  ASSERT_TRUE(copy && exitButton);
  EXPECT_EQ(GetDlgItem(window, ID_PORT_LIST), listBox);
  EXPECT_EQ(GetDlgCtrlID(hintLabel), 0);

  const DWORD buttonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
  for (HWND button : {copy, exitButton}) {
    EXPECT_EQ(_wcsicmp(ClassOf(button).c_str(), L"Button"), 0);
    EXPECT_EQ(StyleOf(button) & (buttonStyle | BS_TYPEMASK), buttonStyle);
  }
  EXPECT_EQ(TextOf(copy), L"Copy");
  EXPECT_EQ(TextOf(exitButton), L"Exit");

  EXPECT_EQ(_wcsicmp(ClassOf(listBox).c_str(), L"ListBox"), 0);
  // WS_VSCROLL and WS_HSCROLL are not checked: without LBS_DISABLENOSCROLL a
  // list box drops them from its style while its scroll bars are hidden.
  const DWORD listStyle =
      WS_CHILD | WS_VISIBLE | WS_BORDER | LBS_USETABSTOPS | LBS_HASSTRINGS | LBS_NOTIFY;
  EXPECT_EQ(StyleOf(listBox) & listStyle, listStyle);
  EXPECT_FALSE(StyleOf(listBox) & LBS_SORT);  // row i must stay element i of RowIdList

  EXPECT_EQ(_wcsicmp(ClassOf(hintLabel).c_str(), L"Static"), 0);
  EXPECT_EQ(TextOf(hintLabel), L"Double click item to edit properties");
  EXPECT_FALSE(HintShown());

  ExpectPlaced(copy, window, layout.copyButton, "Copy");
  ExpectPlaced(exitButton, window, layout.exitButton, "Exit");
  // Without LBS_NOINTEGRALHEIGHT the list box trims its height to whole rows.
  kq::ControlRect list = layout.portList;
  const RECT listRect = ClientRectOf(listBox, window);
  const LRESULT rowHeight = SendMessageW(listBox, LB_GETITEMHEIGHT, 0, 0);
  EXPECT_LE(listRect.bottom - listRect.top, list.height);
  EXPECT_GT(listRect.bottom - listRect.top, list.height - 2 * rowHeight);
  list.height = listRect.bottom - listRect.top;
  ExpectPlaced(listBox, window, list, "list");
  ExpectPlaced(hintLabel, window, layout.hintLabel, "hint");

  // The list stays empty until the first tick of the refresh timer.
  EXPECT_EQ(SendMessageW(listBox, LB_GETCOUNT, 0, 0), 0);
  // The refresh timer runs: killing it succeeds only if it was set.
  EXPECT_TRUE(KillTimer(window, ID_REFRESH_TIMER));
}

TEST_F(MainWindowTest, RefreshFillsRowsAndIdsAndFollowsTheTree) {
  loadTree(kOneUnit);
  SplitAudio = true;
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  ASSERT_EQ(SendMessageW(listBox, LB_GETCOUNT, 0, 0), 7);
  ASSERT_EQ(RowIdList.size(), 7u);
  EXPECT_EQ(Row(0), L"Quorvanta KQ6200 S/N 12345");
  EXPECT_EQ(RowIdList[0], L"");
  EXPECT_EQ(Row(1), L"    CAT Port \t - COM9");
  EXPECT_EQ(RowIdList[1], w(kCat));
  EXPECT_EQ(Row(5), L"    Audio Input \t - Microphone (USB Audio CODEC)");
  EXPECT_EQ(RowIdList[5], w(kCapture));
  EXPECT_EQ(GetFocus(), listBox);

  // Windows 7 and older: one audio line per unit; the selection goes with
  // every refresh.
  SendMessageW(listBox, LB_SETCURSEL, 2, 0);
  std::string error;
  ASSERT_TRUE(kq::sim::loadTreeFile(KQ_SOURCE_DIR "/sim/trees/two-units-win7.devtree", &error))
      << error;
  SplitAudio = false;
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  ASSERT_EQ(SendMessageW(listBox, LB_GETCOUNT, 0, 0), 11);
  EXPECT_EQ(RowIdList.size(), 11u);
  EXPECT_EQ(Row(5).rfind(L"    Audio device\t - ", 0), 0u) << Row(5);
  EXPECT_FALSE(RowIdList[5].empty());
  EXPECT_EQ(Row(6).rfind(L"Quorvanta KQ6200 S/N ", 0), 0u) << Row(6);
  EXPECT_EQ(SendMessageW(listBox, LB_GETCURSEL, 0, 0), LB_ERR);

  kq::memcm::clearTree();
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  ASSERT_EQ(SendMessageW(listBox, LB_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(Row(0), L"Quorvanta KQ-6200 not found");
  EXPECT_EQ(RowIdList, kq::RowIds{L""});
}

// The driver gate's outcome reaches every enumeration the window runs.
TEST_F(MainWindowTest, RefreshShowsADeclinedDriverInstallation) {
  loadTree(kOneUnit);
  SplitAudio = true;
  McuDriversPresent = false;
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  ASSERT_EQ(SendMessageW(listBox, LB_GETCOUNT, 0, 0), 6);
  EXPECT_EQ(Row(3), L"    MCU ErrorCode: 8");
  McuDriversPresent = true;
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  EXPECT_EQ(Row(3), L"    FSK Port \t - COM8");
}

TEST_F(MainWindowTest, HintShowsOnlyForDeviceRowsAndHidesOnItsTimer) {
  loadTree(kOneUnit);
  SplitAudio = true;
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);

  Select(0);  // unit header
  EXPECT_FALSE(HintShown());
  EXPECT_FALSE(KillTimer(window, ID_HINT_TIMER));

  Select(1);  // CAT port
  EXPECT_TRUE(HintShown());
  // A refresh leaves the hint alone.
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  EXPECT_TRUE(HintShown());

  HideHint(window, WM_TIMER, ID_HINT_TIMER, 0);
  EXPECT_FALSE(HintShown());
  EXPECT_FALSE(KillTimer(window, ID_HINT_TIMER));  // HideHint ended its own timer

  Select(4);  // WinKey port
  EXPECT_TRUE(HintShown());
  EXPECT_TRUE(KillTimer(window, ID_HINT_TIMER));
}

// What is launched is test_double_click_on_an_over_long_id_launches_nothing's to see.
TEST_F(MainWindowTest, DoubleClickOnRowsThatCannotBeOpenedLeavesTheParametersAsTheyWere) {
  loadTree(kOneUnit);
  SplitAudio = true;
  RefreshList(window, WM_TIMER, ID_REFRESH_TIMER, 0);
  const std::wstring before(propertiesParameters.text.data());
  EXPECT_EQ(before, std::wstring(kq::kPropertiesPrefix));

  SendMessageW(listBox, LB_SETCURSEL, 0, 0);  // header row
  Command(ID_PORT_LIST, LBN_DBLCLK);
  EXPECT_EQ(std::wstring(propertiesParameters.text.data()), before);

  // An ID longer than MAX_DEVICE_ID_LEN must neither overflow nor be launched cut short.
  RowIdList[1] = std::wstring(5000, L'Z');
  SendMessageW(listBox, LB_SETCURSEL, 1, 0);
  Command(ID_PORT_LIST, LBN_DBLCLK);
  EXPECT_EQ(std::wstring(propertiesParameters.text.data()), before);
}

TEST_F(MainWindowTest, CopyPlacesTheLinesInABlockOfExactSize) {
  Command(ID_COPY_BUTTON);
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(GlobalSize(data), 58u);  // 28 characters and the terminator, 2 bytes each
  const auto* text = static_cast<const wchar_t*>(GlobalLock(data));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::wstring(text), L"Quorvanta KQ-6200 not found\n");
  GlobalUnlock(data);
  CloseClipboard();

  loadTree(kOneUnit);
  SplitAudio = true;
  Command(ID_COPY_BUTTON);  // a fresh report, not the (empty) rows on screen
  ASSERT_TRUE(OpenClipboard(nullptr));
  data = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(data, nullptr);
  const std::wstring copied(static_cast<const wchar_t*>(GlobalLock(data)));
  GlobalUnlock(data);
  CloseClipboard();
  EXPECT_EQ(GlobalSize(data), (copied.size() + 1) * 2);
  EXPECT_EQ(copied.rfind(L"Quorvanta KQ6200 S/N 12345\n    CAT Port \t - COM9\n", 0), 0u);
  const std::wstring lastLine = L"    Audio Output\t - Speakers (USB Audio CODEC)\n";
  ASSERT_GE(copied.size(), lastLine.size());
  EXPECT_EQ(copied.substr(copied.size() - lastLine.size()), lastLine);
}

TEST_F(MainWindowTest, ExitDestroysTheWindowAndPostsQuitWithZero) {
  Command(ID_EXIT_BUTTON);
  EXPECT_FALSE(IsWindow(window));
  MSG message{};
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 0u);
}

}  // namespace

}  // namespace kq::test
