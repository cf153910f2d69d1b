// The run folder of an installation, as the elevated self-extractor makes,
// recognises and removes it (elevation.h says where it lies and with which
// descriptor). Windows only.
#pragma once

#include <string>
#include <string_view>

namespace kq {

// Makes `folder` with RunFolderSddl(userSid) as its security descriptor.
// False, and nothing made, for a SID that is not IsSidString; false when
// anything stands at `folder` already, a folder of the same name included:
// a folder someone else made is never taken over.
bool MakeRunFolder(const std::wstring& folder, std::wstring_view userSid);

// Whether Administrators or SYSTEM own `path`: every user may make folders in
// Windows' Temp folder, but not one owned by either.
bool OwnedByAdministrators(const std::wstring& path);

// Removes `folder` and what the package put in it and in its subfolders
// (install_files.h's kPackageSubfolders), deleting files and empty folders only:
// a link among them is removed itself, never entered, and `folder` is left
// alone unless it is a real folder.
void RemoveRunFolder(const std::wstring& folder);

}  // namespace kq
