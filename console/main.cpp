// kqports.exe: the report of the Quorvanta KQ-6200 Ports window on the
// console, once or whenever it changes. What it prints and why is in the
// portable part (options, render); here are only the Windows edges: standard
// handles, the clock, Ctrl+C and the wait between two checks.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/native_machine.h"
#include "base/system_dlls.h"
#include "base/utf8.h"
#include "base/win_handles.h"
#include "console/for_program.h"
#include "console/options.h"
#include "console/render.h"
#include "osver/os_level.h"
#include "units/unit_list.h"

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

int Watch(const ConsoleOptions& options, const Output& out, const Output& err, bool splitAudio) {
  stopWatching.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stopWatching) {
    Write(err, L"kqports: cannot watch: no event object\n");
    return kExitFailure;
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ReportWatch watch;
  for (;;) {
    const DWORD started = GetTickCount();
    const ConsoleReport report = EnumerateForConsole(splitAudio, options);
    // A reader that went away (a closed pipe) ends the watch as Ctrl+C does;
    // any other failure to write ends it as a failure.
    if (ReportChanged(watch, WatchedLines(report)) &&
        !Write(out, ConsoleOutput(options, report, FormatLocalTime(Now())))) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)
        break;
      Write(err, L"kqports: cannot write the report (error " + std::to_wstring(error) + L")\n");
      SetConsoleCtrlHandler(OnConsoleControl, FALSE);
      return kExitFailure;
    }
    const DWORD spent = GetTickCount() - started;
    if (WaitForSingleObject(stopWatching.get(),
                            spent < kWatchPeriodMs ? kWatchPeriodMs - spent : 0) == WAIT_OBJECT_0)
      break;
  }
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  return kExitOk;
}

}  // namespace
}  // namespace kq

int wmain(int argc, wchar_t** argv) {
  using namespace kq;
  // Before the configuration manager is loaded at its first call.
  LoadDllsFromSystemOnly();
  const Output out = StandardOutput(STD_OUTPUT_HANDLE);
  const Output err = StandardOutput(STD_ERROR_HANDLE);

  const ParsedArguments parsed = ParseArguments(std::vector<std::wstring>(argv + 1, argv + argc),
                                                   ConsolePlatform::kWindows);
  if (parsed.badArgument) {
    Write(err, UsageErrorText(parsed));
    return kExitBadUsage;
  }
  const ConsoleOptions& options = parsed.options;
  if (options.help || options.version) {
    return Write(out, options.help ? HelpText(ConsolePlatform::kWindows)
                                    : VersionText(DetectNativeMachine().name))
               ? kExitOk
               : kExitFailure;
  }

  // The window's rule: endpoints of their own from Windows 8 on.
  const bool splitAudio = SplitsAudio(DetectOsLevel());
  if (options.watch) return Watch(options, out, err, splitAudio);

  const ConsoleReport report = EnumerateForConsole(splitAudio, options);
  if (options.role || options.program) {
    const RoleAnswer answer =
        options.program ? AnswerFor(report, options) : AnswerRole(report, options);
    if (!answer.err.empty()) Write(err, answer.err);
    if (answer.out.empty()) return answer.exitCode;
    return Write(out, answer.out) ? answer.exitCode : kExitFailure;
  }
  return Write(out, ConsoleOutput(options, report, FormatLocalTime(Now())))
             ? ExitCodeFor(report.units)
             : kExitFailure;
}
