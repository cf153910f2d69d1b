#include "drivers/run_folder.h"

#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "base/win_handles.h"
#include "drivers/elevation.h"
#include "drivers/install_files.h"
#include "drivers/path_kind.h"

namespace kq {

namespace {

// Deletes the files directly in `folder` (never through a link: a link among
// them is deleted itself) and then `folder`, if it is a real folder.
void RemoveRealFolder(const std::wstring& folder) {
  if (LookAtPath(folder.c_str()) != PathKind::Folder) return;
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW entry;
  {
    const UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (search) {
      do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(entry.cFileName);
      } while (FindNextFileW(search.get(), &entry));
    }
  }
  for (const auto& name : files) {
    const std::wstring path = folder + L"\\" + name;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

bool MakeRunFolder(const std::wstring& folder, std::wstring_view userSid) {
  const std::wstring sddl = RunFolderSddl(userSid);
  if (sddl.empty()) return false;
  const UniqueDescriptor descriptor = DescriptorFromSddl(sddl.c_str());
  if (!descriptor) return false;
  SECURITY_ATTRIBUTES attributes = AttributesOf(descriptor);
  return CreateDirectoryW(folder.c_str(), &attributes) &&
         LookAtPath(folder.c_str()) == PathKind::Folder;
}

bool OwnedByAdministrators(const std::wstring& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const bool trusted = IsAdministratorsOrSystem(owner);
  LocalFree(descriptor);
  return trusted;
}

void RemoveRunFolder(const std::wstring& folder) {
  for (const wchar_t* name : kPackageSubfolders) {
    const std::wstring subfolder = folder + name;
    if (LookAtPath(subfolder.c_str()) == PathKind::Link)
      RemoveDirectoryW(subfolder.c_str());
    else
      RemoveRealFolder(subfolder);
  }
  RemoveRealFolder(folder);
}

}  // namespace kq
