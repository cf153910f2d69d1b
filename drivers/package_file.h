// The package file the installation elevates, pinned from its writing to its
// elevated start: made with a descriptor under which no process of the user
// can write it or change its descriptor once the program's own writing handle
// has ended, read back whole, held shared for reading only, and started by
// the path the system gives for the held file, from an install folder that no
// link the user can change leads to.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/path_kind.h"

#ifdef _WIN32
#include "base/win_handles.h"
#include "drivers/install_files.h"
#endif

namespace kq {

// A protected DACL (nothing inherited from the install folder, which the user
// controls) granting the user with `userSid` and OWNER RIGHTS reading and
// executing only, SYSTEM and Administrators full control; no owner (the
// creator's). OWNER RIGHTS takes the place of the owner's implicit right to
// rewrite the DACL, which would let the user grant itself writing again.
// Empty for a SID that is not IsSidString.
std::wstring PackageFileSddl(std::wstring_view userSid);

// A path as GetFinalPathNameByHandleW (VOLUME_NAME_DOS) writes it, in the form
// the shell takes: "\\?\C:\..." as "C:\...". Nothing for any other form: a
// share ("\\?\UNC\server\share\...", where the server decides sharing and
// descriptors, so that nothing here pins the file), a volume without a drive
// letter, a device; nor for a path that does not fit a MAX_PATH buffer.
std::optional<std::wstring> ShellPathFromFinalPath(std::wstring_view finalPath);

// The folder of a path such as ShellPathFromFinalPath gives: all before its
// last backslash.
std::wstring FolderOfPath(std::wstring_view path);

// The folders between `folder`'s root ("C:\", "\\server\share\", or either
// after "\\?\") and `folder` itself, nearest the root first. Nothing when the
// path has another form, or names "." or ".." or an empty component: its
// ancestors could not be told from its text.
std::optional<std::vector<std::wstring>> FolderAncestors(std::wstring_view folder);

// The rights to a link itself, any one of which lets its holder re-point it
// (write its reparse data), remove it (DELETE, which a parent's
// FILE_DELETE_CHILD grants too), or grant itself either (WRITE_DAC,
// WRITE_OWNER).
inline constexpr std::uint32_t kLinkChangeRights[] = {
    0x0002,   // FILE_WRITE_DATA
    0x0100,   // FILE_WRITE_ATTRIBUTES
    0x10000,  // DELETE
    0x40000,  // WRITE_DAC
    0x80000,  // WRITE_OWNER
};

// Whether the system denies this user `access` to the link at `path` itself
// (never its target). Any other answer, a sharing violation included, is no
// denial: a user can hold its own link open to fail a look.
using AccessDenied = std::function<bool(const std::wstring& path, std::uint32_t access)>;

// Whether the install folder may be used: each of its ancestors is a real
// folder, or a link (junction, symbolic link, mount point) that the user is
// denied every one of kLinkChangeRights to, as the system's own links are. A
// link the user can change could send the package's path elsewhere; an
// ancestor that is absent, a file or cannot be examined refuses the folder.
bool AncestorsTrusted(std::wstring_view installFolder,
                      const std::function<PathKind(const std::wstring& path)>& look,
                      const AccessDenied& denied);

#ifdef _WIN32
// The package file made new as `name` (no folder in it) in the folder that
// `folder` is a handle to, by that handle rather than by a path, with
// PackageFileSddl for this process's user, open for writing and shared for
// reading only: the creating handle gets its writing access whatever the
// descriptor grants. A path could lead elsewhere by now (the held folder
// made a link, or renamed and replaced); the handle is the folder itself.
// Empty when it cannot be made.
UniqueFile CreatePackageFile(HANDLE folder, std::wstring_view name);

// Whether `file` holds exactly `package`, read from its start.
bool HoldsExactly(HANDLE file, const PackageData& package);

// The written file, held for reading only, shared for reading only, once the
// writing handle has ended: Windows runs an image only when no handle may
// write it. A second handle that lets others write bridges the two, so that
// the file can be neither renamed nor deleted in between; what the held
// handle reads must be `package`. Empty when the file cannot be held or holds
// anything else.
UniqueFile HoldWritten(UniqueFile writing, const PackageData& package);

// The held file's path as the system resolves it now (links followed),
// in the shell's form; empty when it cannot be had in that form.
std::wstring HeldFilePath(HANDLE held);

// AncestorsTrusted as the system answers for this process's user.
bool InstallFolderAncestorsTrusted(const std::wstring& installFolder);
#endif

}  // namespace kq
