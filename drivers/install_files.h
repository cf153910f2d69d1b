// Files and folders of one driver installation.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/path_kind.h"

namespace kq {

// The files the package must unpack before the script can run, in the order
// they are awaited; each is appended to the install folder.
inline constexpr const wchar_t* kExtractedFiles[] = {
    L"\\Quorvanta_KQ-6200_Reserved.inf", L"\\Quorvanta_KQ-6200_Reserved.cat",
    L"\\Quorvanta_KQ-6200_Reserved.cer", L"\\KQ_6200_WINKEY.inf",
    L"\\KQ_6200_WINKEY.cat",             L"\\KQ_6200_WINKEY.cer",
    L"\\KQ_6200_FSK.inf",                L"\\KQ_6200_FSK.cat",
    L"\\KQ_6200_FSK.cer",                L"\\certmgr.exe",
};

// Marker files of the install script, in the order it writes them.
inline constexpr const wchar_t* kProgressMarkers[] = {
    L"\\cert.inf", L"\\wk.inf", L"\\fsk.inf", L"\\cp.inf", L"\\timeToCleanUp.inf",
};
inline constexpr wchar_t kFinishedMarker[] = L"\\timeToCleanUp.inf";
inline constexpr wchar_t kRefusedMarker[] = L"\\userDisagreeInstallation.inf";

// The package's file in the install folder: a name, made relative to the
// held folder (CreatePackageFile), and the same appended to its path.
inline constexpr wchar_t kPackageName[] = L"drv.exe";
inline constexpr wchar_t kPackageFile[] = L"\\drv.exe";

// The only subfolders a package may unpack into, and so the only ones removed.
inline constexpr const wchar_t* kPackageSubfolders[] = {L"\\x86", L"\\amd64"};

// "<temporary folder>QuorvantaKQ6kInstall" from the temporary folder as
// GetTempPathW gives it (with its trailing backslash); empty when any path the
// installation composes under it (the package's files included) would not fit
// a MAX_PATH buffer, so that nothing is ever cut short.
std::wstring InstallFolderUnder(std::wstring_view tempPath);

// What the install folder and its "x86"/"amd64" subfolders are, asked one path
// at a time.
using LookAtFolder = std::function<PathKind(const std::wstring& path)>;

// Before the package is written: the links to remove, each by itself (never
// what it points to), from among the install folder and its two subfolders.
// When the install folder is a link, its subfolders are the target's and are
// neither looked at nor named. Nothing at all when a path cannot be examined:
// the package must then not be written.
std::optional<std::vector<std::wstring>> FolderLinksToRemove(const std::wstring& installFolder,
                                                             const LookAtFolder& look);

enum class FolderAction {
  Clean,       // RemoveFolder: its files, then the folder once it is empty
  RemoveLink,  // the link alone
};
struct FolderStep {
  std::wstring path;
  FolderAction action;
};

// The clean-up: both subfolders, then the install folder. A link is removed by
// itself and nothing is ever deleted through it; a path that cannot be
// examined is left alone; when the install folder itself is a link, or cannot
// be examined, nothing below it is touched.
std::vector<FolderStep> CleanUpSteps(const std::wstring& installFolder, const LookAtFolder& look);

#ifdef _WIN32
// InstallFolderUnder(GetTempPathW()), empty when that fails too.
std::wstring InstallFolder();

// DeleteFilesIn(path) (folder_files.h), then waits 1000 ms and removes `path`
// itself once, if it is empty by then.
void RemoveFolder(const std::wstring& path);

// Removes the links FolderLinksToRemove names. False when one could not be
// removed, or a path could not be examined: nothing may be written then.
bool RemoveInstallFolderLinks(const std::wstring& installFolder);

// The clean-up of an installation, by CleanUpSteps.
void RemoveInstallFolders(const std::wstring& installFolder);

struct PackageData {
  const void* data = nullptr;  // null when the resource is missing or empty
  unsigned long size = 0;
};
// Resource `id` of type 256 in the program's own module; lives as long as it.
PackageData LoadPackageResource(int id);
#endif

}  // namespace kq
