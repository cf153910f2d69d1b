#include "drivers/install_files.h"

#include <windows.h>

#include <vector>

#include "drivers/driver_store.h"
#include "drivers/install_wait.h"
#include "base/win_handles.h"
#include "res/resource.h"

namespace kq {

std::wstring InstallFolder() {
  wchar_t temp[kPathBufferUnits];
  const DWORD n = GetTempPathW(kPathBufferUnits, temp);
  if (n == 0 || n >= kPathBufferUnits) return {};
  return InstallFolderUnder(std::wstring_view(temp, n));
}

void RemoveFolder(const std::wstring& path) {
  // Names first, deletions after: the search is not disturbed by its own work.
  struct Found { std::wstring name; DWORD attributes; };
  std::vector<Found> files;
  if (const auto pattern = ComposePath(path, L"\\*")) {
    WIN32_FIND_DATAW entry;
    const kq::UniqueFind search(FindFirstFileW(pattern->c_str(), &entry));
    if (search) {
      do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
          files.push_back({entry.cFileName, entry.dwFileAttributes});
      } while (FindNextFileW(search.get(), &entry));
    }
  }
  for (const auto& found : files) {
    const auto file = ComposePath(path, L"\\" + found.name);
    if (!file) continue;
    // Like "del /F": a read-only file goes too. A link is deleted as a link;
    // its target is never touched.
    if ((found.attributes & FILE_ATTRIBUTE_READONLY) && !(found.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      SetFileAttributesW(file->c_str(), found.attributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileW(file->c_str());
  }
  PumpingWait(1000);
  RemoveDirectoryW(path.c_str());
}

namespace {

PathKind LookAt(const std::wstring& path) { return LookAtPath(path.c_str()); }

// RemoveDirectoryW takes a junction or a folder link away by itself, whatever
// its target holds, and never enters it.
void RemoveLink(const std::wstring& path) { RemoveDirectoryW(path.c_str()); }

}  // namespace

bool RemoveInstallFolderLinks(const std::wstring& installFolder) {
  const auto links = FolderLinksToRemove(installFolder, LookAt);
  if (!links) return false;
  for (const auto& link : *links) {
    RemoveLink(link);
    if (LookAt(link) != PathKind::Absent) return false;
  }
  return true;
}

void RemoveInstallFolders(const std::wstring& installFolder) {
  for (const auto& step : CleanUpSteps(installFolder, LookAt)) {
    if (step.action == FolderAction::RemoveLink)
      RemoveLink(step.path);
    else
      RemoveFolder(step.path);
  }
}

PackageData LoadPackageResource(int id) {
  const HMODULE module = GetModuleHandleW(nullptr);
  const HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(RT_DRIVER_PACKAGE));
  if (!info) return {};
  const HGLOBAL loaded = LoadResource(module, info);
  const DWORD size = SizeofResource(module, info);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data || size == 0) return {};
  return {data, size};
}

}  // namespace kq
