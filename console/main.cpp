// kqports.exe: the report of the Quorvanta KQ-6200 Ports window on the
// console, once or whenever it changes. What it prints and when is the
// portable part (flow, options, render); here are only the Windows edges:
// standard handles, the clock, Ctrl+C and the wait between two checks.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/native_machine.h"
#include "base/system_dlls.h"
#include "base/utf8.h"
#include "base/win_handles.h"
#include "console/flow.h"
#include "osver/os_level.h"

namespace kq {
namespace {

// The window checks once a second; so does --watch.
constexpr DWORD kWatchPeriodMs = 1000;

// One standard handle and whether it is a console. A console takes UTF-16
// through WriteConsoleW, whatever its code page; a pipe or a file gets UTF-8
// without a byte-order mark.
struct Output {
  HANDLE handle = nullptr;
  bool console = false;
};

Output StandardOutput(DWORD which) {
  Output out;
  out.handle = GetStdHandle(which);
  DWORD mode = 0;
  out.console =
      out.handle && out.handle != INVALID_HANDLE_VALUE && GetConsoleMode(out.handle, &mode);
  return out;
}

// Calls `writeSome(offset, count, &written)` until all `size` units are
// written; false when a call fails or writes nothing.
template <typename WriteSome>
bool WriteWhole(size_t size, WriteSome writeSome) {
  for (size_t done = 0; done < size;) {
    DWORD written = 0;
    if (!writeSome(done, static_cast<DWORD>(size - done), &written) || written == 0) return false;
    done += written;
  }
  return true;
}

// False when the text could not be written whole (no handle, a closed pipe,
// a full disk).
bool Write(const Output& out, std::wstring_view text) {
  if (!out.handle || out.handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring lines = WithCrLf(text);
  if (out.console) {
    return WriteWhole(lines.size(), [&](size_t at, DWORD count, DWORD* written) {
      return WriteConsoleW(out.handle, lines.data() + at, count, written, nullptr) != FALSE;
    });
  }
  // One WriteFile for the whole text, so that a reader of a pipe never sees
  // half a report.
  const std::string bytes = encodeUtf8(lines);
  return WriteWhole(bytes.size(), [&](size_t at, DWORD count, DWORD* written) {
    return WriteFile(out.handle, bytes.data() + at, count, written, nullptr) != FALSE;
  });
}

// Now, in local time, with the offset that applies now (daylight saving
// included): the UTC clock read once and turned into local time.
LocalTime Now() {
  FILETIME utc{}, local{};
  GetSystemTimeAsFileTime(&utc);
  FileTimeToLocalFileTime(&utc, &local);
  SYSTEMTIME fields{};
  FileTimeToSystemTime(&local, &fields);
  const auto ticks = [](const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
  };
  LocalTime time;
  time.year = fields.wYear;
  time.month = fields.wMonth;
  time.day = fields.wDay;
  time.hour = fields.wHour;
  time.minute = fields.wMinute;
  time.second = fields.wSecond;
  time.utcOffsetMinutes = static_cast<int>((ticks(local) - ticks(utc)) / 600000000LL);
  return time;
}

// Set by Ctrl+C or Ctrl+Break; --watch waits on it between two checks.
UniqueKernelHandle stopWatching;

// Runs on a thread the system starts for the event. Ctrl+C and Ctrl+Break end
// the watch at once and cleanly; closing the console, logging off and shutting
// down are left to the system's default, which ends the process.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  SetEvent(stopWatching.get());
  return TRUE;
}

// What the edges keep between two calls.
struct WindowsState {
  Output out;
  Output err;
  std::optional<bool> splitAudio;  // the window's rule, learnt at the first check
  DWORD checkStarted = 0;          // when the last check began, in ticks
};

// Every check enumerates anew: Windows tells --watch of no change, so each
// period may have brought one.
Checked Check(WindowsState& state, const ConsoleOptions& options,
              std::optional<ConsoleReport>& report) {
  state.checkStarted = GetTickCount();
  // The window's rule: endpoints of their own from Windows 8 on.
  if (!state.splitAudio) state.splitAudio = SplitsAudio(DetectOsLevel());
  report = EnumerateForConsole(*state.splitAudio, options);
  return Checked::kDone;
}

// A period after the last check began, or less when Ctrl+C comes first.
Waited WaitAfterCheck(const WindowsState& state) {
  const DWORD spent = GetTickCount() - state.checkStarted;
  if (WaitForSingleObject(stopWatching.get(),
                          spent < kWatchPeriodMs ? kWatchPeriodMs - spent : 0) == WAIT_OBJECT_0)
    return Waited::kStopped;
  return Waited::kChanged;
}

ConsoleEdges WindowsEdges(WindowsState& state) {
  ConsoleEdges edges;
  edges.platform = ConsolePlatform::kWindows;
  edges.writeOut = [&state](std::wstring_view text) {
    WriteOutcome outcome;
    if (Write(state.out, text)) return outcome;
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED) {
      outcome.written = Written::kReaderGone;
    } else {
      outcome.written = Written::kFailed;
      outcome.detail = L" (error " + std::to_wstring(error) + L")";
    }
    return outcome;
  };
  edges.writeErr = [&state](std::wstring_view text) { Write(state.err, text); };
  edges.now = Now;
  edges.versionText = [] { return VersionText(DetectNativeMachine().name); };
  edges.check = [&state](const ConsoleOptions& options, bool, bool,
                         std::optional<ConsoleReport>& report) {
    return Check(state, options, report);
  };
  edges.startWatch = []() -> std::wstring {
    stopWatching.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopWatching) return L"no event object";
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return {};
  };
  edges.wait = [&state] { return WaitAfterCheck(state); };
  edges.endWatch = [] { SetConsoleCtrlHandler(OnConsoleControl, FALSE); };
  return edges;
}

}  // namespace
}  // namespace kq

int wmain(int argc, wchar_t** argv) {
  using namespace kq;
  // Before the configuration manager is loaded at its first call.
  LoadDllsFromSystemOnly();
  WindowsState state;
  state.out = StandardOutput(STD_OUTPUT_HANDLE);
  state.err = StandardOutput(STD_ERROR_HANDLE);
  return RunConsole(std::vector<std::wstring>(argv + 1, argv + argc), WindowsEdges(state));
}
