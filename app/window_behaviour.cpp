// What the main window does: the once-a-second refresh, Copy, Exit, the hint
// and the device-properties launch.
#include "app/shell.h"

#include <shellapi.h>

#include "base/unique_handle.h"
#include "drivers/native_system_folder.h"
#include "res/resource.h"
#include "units/unit_list.h"

namespace kq {

namespace {

void FreeGlobalMemory(HGLOBAL memory) { GlobalFree(memory); }
using GlobalMemory = UniqueHandle<NullIsInvalidTraits<HGLOBAL, FreeGlobalMemory>>;

// An open clipboard is a state of the thread rather than a handle; the owner
// only remembers whether OpenClipboard succeeded.
struct ClipboardTraits {
  using pointer = bool;
  static constexpr pointer invalid() noexcept { return false; }
  static void close(pointer) noexcept { CloseClipboard(); }
};
using OpenedClipboard = UniqueHandle<ClipboardTraits>;

constexpr UINT kHintPeriodMs = 4567;

std::optional<std::wstring_view> SelectedRowId() {
  const LRESULT row = SendMessageW(listBox, LB_GETCURSEL, 0, 0);
  return SelectedDeviceId(RowIdList, row);
}

void Copy() {
  std::wstring text;
  {
    const UnitList units(SplitAudio, McuDriversPresent);
    text = ClipboardText(units.fullReport());
  }
  PlaceTextOnClipboard(text);
}

void ShowHint(HWND window) {
  if (!SelectedRowId()) return;
  ShowWindow(hintLabel, SW_SHOW);
  // Setting a running timer again restarts its period.
  SetTimer(window, ID_HINT_TIMER, kHintPeriodMs, HideHint);
}

// rundll32.exe by its full path in the system folder, which is also the
// working folder: the shell looks for a bare name in the working folder
// first. Nothing is launched when the system folder cannot be read.
void LaunchDevicePropertiesPage(HWND window) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring folder(system, length);
  const std::wstring program = folder + L"\\rundll32.exe";
  ShellExecuteW(window, L"runas", program.c_str(), propertiesParameters.text.data(), folder.c_str(),
                SW_SHOWNORMAL);
}

void OpenDeviceProperties(HWND window) {
  const std::optional<std::wstring_view> id = SelectedRowId();
  if (!id) return;
  // Longer than any valid instance ID: launching it cut short would open the
  // wrong device, so nothing is launched.
  if (!SetPropertiesDeviceId(propertiesParameters, *id)) return;

  if (!Is64BitOs) {
    LaunchDevicePropertiesPage(window);
    return;
  }
  // A 32-bit process on 64-bit Windows sees SysWOW64 as System32; the shell
  // must find the 64-bit rundll32.exe, whose devmgr.dll can open the page.
  const NativeSystemFolder native(true, L"Device Properties Editor");
  if (native.Unavailable()) return;
  LaunchDevicePropertiesPage(window);
}

}  // namespace

bool PlaceTextOnClipboard(const std::wstring& text) {
  const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
  GlobalMemory block(GlobalAlloc(GMEM_MOVEABLE, bytes));
  if (!block) return false;
  void* target = GlobalLock(block.get());
  if (!target) return false;
  CopyMemory(target, text.c_str(), bytes);
  GlobalUnlock(block.get());

  OpenedClipboard clipboard(OpenClipboard(nullptr) != FALSE);
  if (!clipboard) return false;
  EmptyClipboard();
  if (!SetClipboardData(CF_UNICODETEXT, block.get())) return false;
  block.release();  // the clipboard owns the block from now on
  return true;
}

void CALLBACK RefreshList(HWND, UINT, UINT_PTR, DWORD) {
  // Clears the rows, and with them the selection and the scroll position.
  SendMessageW(listBox, LB_RESETCONTENT, 0, 0);
  const UnitList units(SplitAudio, McuDriversPresent);
  const ReportList report = units.fullReport();

  RowIdList.clear();
  for (const ReportLine& line : report) {
    SendMessageW(listBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.text.c_str()));
    RowIdList.push_back(line.id);
  }
  SetFocus(listBox);
}

void CALLBACK HideHint(HWND window, UINT, UINT_PTR, DWORD) {
  KillTimer(window, ID_HINT_TIMER);
  ShowWindow(hintLabel, SW_HIDE);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_COPY_BUTTON:
          Copy();
          break;
        case ID_EXIT_BUTTON:
          DestroyWindow(window);
          break;
        case ID_PORT_LIST:
          if (HIWORD(wParam) == LBN_SELCHANGE) ShowHint(window);
          if (HIWORD(wParam) == LBN_DBLCLK) OpenDeviceProperties(window);
          break;
      }
      return 0;
    case WM_PAINT: {
      // Nothing is drawn: the class brush fills the background.
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kq
