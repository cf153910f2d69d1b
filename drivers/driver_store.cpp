#include "drivers/driver_store.h"

#include <windows.h>

#include "base/win_handles.h"
#include "drivers/install_wait.h"
#include "drivers/native_system_folder.h"

namespace kq {

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
    const NativeSystemFolder view(is64BitOs, kRedirectionCaption);  // for this one search only
    return ProbeFile(repositoryFolder, name);
  });
}

}  // namespace kq
