#include "drivers/driver_store.h"

#include <windows.h>

#include "base/win_handles.h"
#include "drivers/install_wait.h"

namespace kq {
namespace {

// While it lives, the calling thread sees the 64-bit System32 instead of
// SysWOW64: WOW64 file-system redirection is off. It does nothing on 32-bit
// Windows, or when redirection cannot be switched off.
class NativeSystemFolder {
 public:
  explicit NativeSystemFolder(bool is64BitOs)
      : off_(is64BitOs && Wow64DisableWow64FsRedirection(&previous_)) {}
  // A thread left without redirection would load and open the wrong files
  // from then on; like every restore of redirection in the program, a failed
  // one ends it.
  ~NativeSystemFolder() {
    if (off_ && !Wow64RevertWow64FsRedirection(previous_)) {
      MessageBoxW(nullptr, L"Can't revert WOW64 redirection", L"Driver installer", MB_OK);
      ExitProcess(1);
    }
  }
  NativeSystemFolder(const NativeSystemFolder&) = delete;
  NativeSystemFolder& operator=(const NativeSystemFolder&) = delete;

 private:
  PVOID previous_ = nullptr;  // may be null: it is a state, not a handle
  bool off_;
};

}  // namespace

std::wstring RepositoryFolder() {
  wchar_t system[kPathBufferUnits];
  const UINT n = GetSystemDirectoryW(system, kPathBufferUnits);
  if (n == 0 || n >= kPathBufferUnits) return {};
  return ComposePath(system, L"\\DriverStore\\FileRepository").value_or(std::wstring());
}

bool ProbeFile(const std::wstring& folder, const wchar_t* name) {
  const auto path = ComposePath(folder, name);
  if (!path) return false;
  WIN32_FIND_DATAW entry;
  const kq::UniqueFind search(FindFirstFileW(path->c_str(), &entry));
  return search && MatchesProbePrefix(entry.cFileName, name);
}

bool WaitForFile(const std::wstring& folder, const wchar_t* name) {
  return PollForFile([&] { return ProbeFile(folder, name); }, [](unsigned ms) { PumpingWait(ms); });
}

DriverState CheckInstalledDrivers(const std::wstring& repositoryFolder, bool is64BitOs) {
  return ClassifyDriverStore([&](const wchar_t* name) {
    const NativeSystemFolder view(is64BitOs);  // for this one search only
    return ProbeFile(repositoryFolder, name);
  });
}

}  // namespace kq
