#include "drivers/run_folder.h"

#include <windows.h>
#include <aclapi.h>

#include "drivers/elevation_win.h"
#include "drivers/folder_files.h"
#include "drivers/install_files.h"
#include "drivers/path_kind.h"

namespace kq {

namespace {

// The files directly in `folder`, then `folder`, if it is a real folder.
void RemoveRealFolder(const std::wstring& folder) {
  if (LookAtPath(folder.c_str()) != PathKind::Folder) return;
  DeleteFilesIn(folder);
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
