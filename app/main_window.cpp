// Program-wide state, the window class and the creation of the main window.
#include "app/shell.h"

#include "res/resource.h"

namespace kq {

// Namespace-scope initialisation runs in definition order before wWinMain:
// the row list first (its release registered for normal exit), then the frame
// allowances, Y after X because it includes X.
RowIds RowIdList;
// SM_CXPADDEDBORDER reads 0 where Windows does not know it (before Vista).
int frameAllowanceX = FrameAllowanceX(GetSystemMetrics(SM_CXPADDEDBORDER));
int frameAllowanceY = FrameAllowanceY(GetSystemMetrics(SM_CYFRAME),
                                          GetSystemMetrics(SM_CYCAPTION), frameAllowanceX);

wchar_t windowTitle[100];
wchar_t windowClassName[100];
bool Is64BitOs = false;
bool McuDriversPresent = true;
bool SplitAudio = false;
HWND listBox = nullptr;
HWND hintLabel = nullptr;
PropertiesParameters propertiesParameters;

namespace {

constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kListStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                             LBS_USETABSTOPS | LBS_HASSTRINGS | LBS_NOTIFY;
constexpr DWORD kHintStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;

HWND CreateChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                 int id, const ControlRect& rect) {
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
  return CreateWindowExW(0, className, text, style, rect.x, rect.y, rect.width, rect.height,
                         parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                         nullptr);
}

}  // namespace

void RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = windowClassName;
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
  RegisterClassExW(&windowClass);
}

bool CreateMainWindow(HINSTANCE instance, int showCommand) {
  PreparePropertiesParameters(propertiesParameters);

  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  const WindowOrigin origin = CentreMainWindow(desktop.right, desktop.bottom);

  // WS_BORDER | WS_SYSMENU on an overlapped window: a title bar with a close
  // box, but no sizing frame and no minimise or maximise box.
  HWND window = CreateWindowExW(0, windowClassName, windowTitle, WS_BORDER | WS_SYSMENU,
                                origin.x, origin.y, kMainWindowWidth,
                                kMainWindowHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return false;

  const MainLayout layout = ComputeMainLayout(frameAllowanceX, frameAllowanceY);
  CreateChild(window, L"BUTTON", L"Copy", kButtonStyle, ID_COPY_BUTTON, layout.copyButton);
  CreateChild(window, L"BUTTON", L"Exit", kButtonStyle, ID_EXIT_BUTTON, layout.exitButton);
  listBox = CreateChild(window, L"LISTBOX", nullptr, kListStyle, ID_PORT_LIST, layout.portList);
  hintLabel = CreateChild(window, L"Static", L"Double click item to edit properties",
                          kHintStyle, 0, layout.hintLabel);
  ShowWindow(hintLabel, SW_HIDE);

  // The first refresh comes one period later; until then the list is empty.
  SetTimer(window, ID_REFRESH_TIMER, 1000, RefreshList);

  ShowWindow(window, showCommand);
  UpdateWindow(window);
  return true;
}

}  // namespace kq
