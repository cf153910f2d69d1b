// The waits of one driver installation: every one pumps the thread's
// messages, so the progress dialog repaints, moves and answers while the
// installation waits; and the decisions about the elevated install script.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kq {

// Waits `ms` milliseconds by the wrapping millisecond clock `now`, in slices:
// `waitSlice(remaining)` waits at most `remaining` ms and returns early when
// something arrived (a message) or, with true, when the awaited object was
// signalled. A slice cut short neither ends the wait nor restarts it: the
// wait ends `ms` after it began, or at the first slice that returns true.
// True when it ended that way.
bool WaitUntilDeadline(std::uint32_t ms, const std::function<std::uint32_t()>& now,
                       const std::function<bool(std::uint32_t remaining)>& waitSlice);

// How the install script was started.
enum class ScriptStart {
  NotStarted,  // never runs: the elevation prompt was declined, the start
               // failed, or redirection could not be switched off for it
  Followed,    // runs, and the flow holds its process
  Unseen,      // the shell reports it started but gave no process to follow
};
// From ShellExecuteExW's result and whether it handed back a process. Every
// failure is alike, whatever GetLastError says: a declined elevation prompt
// (ERROR_CANCELLED) and a script that could not be started both mean that no
// script runs, and the installation ends at once as refused.
ScriptStart ClassifyScriptStart(bool shellExecuteSucceeded, bool gaveProcess);

// Whether the script may still be running in the install folder: a followed
// script until its process has ended; an unseen one until it has written one
// of its two end markers (each is the last thing it does).
bool ScriptMayRun(ScriptStart start, bool processEnded, bool finishedMarker, bool refusedMarker);

// After the marker waits and the further wait for a running script to end.
enum class InstallOutcome {
  Finished,      // clean up, "Installation completed"
  Refused,       // clean up, the refusal message, exit code 1
  StillRunning,  // leave the folder, say where the script runs, exit code 1
};
InstallOutcome DecideInstallOutcome(bool scriptMayRun, bool finishedMarker);

// Whether an installation whose script no longer runs finished: for a
// followed self-extractor its exit code says so (it read its end marker in
// the folder only it and the system can write, after its script ended); for
// one the shell gave no process of, the end marker in that folder.
bool InstallationFinished(ScriptStart start, std::uint32_t sfxExitCode, bool finishedMarker);

// Like PollForFile (up to 15 looks, `wait(2000)` after each miss), but the
// looks end at the first one made after `ended()` said true: a script that
// has ended writes no more files. `wait` returns early when it ends.
bool PollForFileWhileRunning(const std::function<bool()>& probe, const std::function<bool()>& ended,
                             const std::function<void(std::uint32_t ms)>& wait);

// How long a script still running after every marker wait is waited for,
// beyond them, before the flow gives up on it (docs/decisions.md).
inline constexpr std::uint32_t kScriptEndWaitMs = 60000;

#ifdef _WIN32
// Waits `ms` milliseconds (by GetTickCount) while dispatching every message
// the thread receives, sent ones included; returns true, early, when
// `awaited` (if given) is signalled. A WM_QUIT taken on the way is posted
// again when the wait ends.
bool PumpingWait(std::uint32_t ms, HANDLE awaited = nullptr);

// WaitForFile that stops looking once `process` (if given) has ended.
bool WaitForFileWhileRunning(const std::wstring& folder, const wchar_t* name, HANDLE process);
#endif

}  // namespace kq
