// The arithmetic and text building of the main window, kept free of the
// Windows API so that it can be checked on any host.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "units/report.h"

namespace kq {

// --- Start-up -------------------------------------------------------------

// The process exit code once GetMessageW stopped returning messages: the
// WM_QUIT message's wParam, or 1 when GetMessageW failed (-1), since the
// wParam then belongs to whatever message came before.
int MessageLoopExitCode(long lastGetMessageResult, unsigned long long wParam);

// --- Layout -----------------------------------------------------------------

inline constexpr int kMainWindowWidth = 470;
inline constexpr int kMainWindowHeight = 500;
inline constexpr int kButtonWidth = 70;
inline constexpr int kButtonHeight = 30;

// What the non-client frame is estimated to take from the window's size.
int FrameAllowanceX(int paddedBorder);
int FrameAllowanceY(int frameHeight, int captionHeight, int frameAllowanceX);

struct ControlRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct MainLayout {
  int clientWidth = 0;
  int clientHeight = 0;
  ControlRect copyButton;
  ControlRect exitButton;
  ControlRect portList;
  ControlRect hintLabel;
};

MainLayout ComputeMainLayout(int frameAllowanceX, int frameAllowanceY);

struct WindowOrigin {
  int x = 0;
  int y = 0;
};

// Centres the fixed-size window on a desktop whose rectangle ends at
// (right, bottom); a desktop smaller than the window gives negative values.
WindowOrigin CentreMainWindow(int desktopRight, int desktopBottom);

// --- Clipboard --------------------------------------------------------------

// Every display line of the report followed by one LF; the IDs are left out.
std::wstring ClipboardText(const ReportList& report);

// --- Rows -------------------------------------------------------------------

// Instance IDs parallel to the list box rows.
using RowIds = std::vector<std::wstring>;

// The ID of the selected row when that row names a device. `row` is the list
// box's selection index as returned, -1 (LB_ERR) when nothing is selected.
std::optional<std::wstring_view> SelectedDeviceId(const RowIds& rows, long long row);

// --- Device-properties launch ---------------------------------------------

// Parameters of rundll32.exe for the Device Manager properties page; the
// instance ID follows the prefix directly, without quotes.
inline constexpr std::wstring_view kPropertiesPrefix =
    L"devmgr.dll,DeviceProperties_RunDLL /MachineName \"\" /DeviceID ";

// MAX_DEVICE_ID_LEN: no device instance ID is longer.
inline constexpr std::size_t kMaxDeviceIdLength = 200;

// The prefix is written once; each launch writes only the ID and its
// terminator at idInsertPoint, so a shorter ID after a longer one ends where
// its own terminator is.
struct PropertiesParameters {
  std::array<wchar_t, kPropertiesPrefix.size() + kMaxDeviceIdLength + 1> text{};
  std::size_t idInsertPoint = 0;
};

void PreparePropertiesParameters(PropertiesParameters& parameters);

// Writes `id` after the prefix. An ID longer than any valid instance ID is
// refused and leaves the parameters as they were: nothing must be launched.
bool SetPropertiesDeviceId(PropertiesParameters& parameters, std::wstring_view id);

}  // namespace kq
