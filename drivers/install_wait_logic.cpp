#include "drivers/install_wait.h"

#include "drivers/elevation.h"

namespace kq {

bool WaitUntilDeadline(std::uint32_t ms, const std::function<std::uint32_t()>& now,
                       const std::function<bool(std::uint32_t remaining)>& waitSlice) {
  const std::uint32_t start = now();
  for (;;) {
    // Unsigned difference: right across the clock's wrap.
    const std::uint32_t elapsed = now() - start;
    if (elapsed >= ms) return false;
    if (waitSlice(ms - elapsed)) return true;
  }
}

ScriptStart ClassifyScriptStart(bool shellExecuteSucceeded, bool gaveProcess) {
  if (!shellExecuteSucceeded) return ScriptStart::NotStarted;
  return gaveProcess ? ScriptStart::Followed : ScriptStart::Unseen;
}

bool ScriptMayRun(ScriptStart start, bool processEnded, bool finishedMarker, bool refusedMarker) {
  switch (start) {
    case ScriptStart::NotStarted:
      return false;
    case ScriptStart::Followed:
      return !processEnded;
    case ScriptStart::Unseen:
      return !finishedMarker && !refusedMarker;
  }
  return true;
}

bool InstallationFinished(ScriptStart start, std::uint32_t sfxExitCode, bool finishedMarker) {
  switch (start) {
    case ScriptStart::NotStarted:
      return false;
    case ScriptStart::Followed:
      return sfxExitCode == kSfxFinished;
    case ScriptStart::Unseen:
      return finishedMarker;
  }
  return false;
}

bool PollForFileWhileRunning(const std::function<bool()>& probe, const std::function<bool()>& ended,
                             const std::function<void(std::uint32_t ms)>& wait) {
  for (int look = 0; look < 15; ++look) {
    // Asked before the look: a file written before the end is seen by it.
    const bool over = ended();
    if (probe()) return true;
    if (over) return false;
    wait(2000);
  }
  return false;
}

InstallOutcome DecideInstallOutcome(bool scriptMayRun, bool finishedMarker) {
  if (scriptMayRun) return InstallOutcome::StillRunning;
  return finishedMarker ? InstallOutcome::Finished : InstallOutcome::Refused;
}

}  // namespace kq
