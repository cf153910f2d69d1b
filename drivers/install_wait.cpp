#include "drivers/install_wait.h"

#include "drivers/driver_store.h"

namespace kq {

bool PumpingWait(std::uint32_t ms, HANDLE awaited) {
  bool quit = false;
  WPARAM quitCode = 0;
  const bool signalled = WaitUntilDeadline(
      ms, [] { return static_cast<std::uint32_t>(GetTickCount()); },
      [&](std::uint32_t remaining) {
        const DWORD count = awaited ? 1 : 0;
        const DWORD result = MsgWaitForMultipleObjectsEx(count, awaited ? &awaited : nullptr,
                                                         remaining, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE);
        if (awaited && result == WAIT_OBJECT_0) return true;
        if (result == WAIT_FAILED) {
          // Cannot happen with a valid handle; never spin: wait as Sleep did.
          Sleep(remaining);
          return false;
        }
        // Sent messages are answered inside PeekMessageW; posted ones are
        // dispatched here (the dialog's repaint, a move by its caption).
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
          if (message.message == WM_QUIT) {
            quit = true;
            quitCode = message.wParam;
            continue;
          }
          TranslateMessage(&message);
          DispatchMessageW(&message);
        }
        return false;
      });
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
  return signalled;
}

bool WaitForFileWhileRunning(const std::wstring& folder, const wchar_t* name, HANDLE process) {
  return PollForFileWhileRunning(
      [&] { return ProbeFile(folder, name); },
      [&] { return process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0; },
      [&](std::uint32_t ms) { PumpingWait(ms, process); });
}

}  // namespace kq
