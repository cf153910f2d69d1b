#include "drivers/install_files.h"

#include <windows.h>

#include "drivers/driver_store.h"
#include "drivers/folder_files.h"
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
  DeleteFilesIn(path);
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
