#include "drivers/install_files.h"

#include "drivers/driver_store.h"

namespace kq {

namespace {

// The longest name the installation appends to the install folder: what the
// flow itself composes, and what the package unpacks into a subfolder.
constexpr std::wstring_view kLongestNames[] = {
    L"\\Quorvanta_KQ-6200_Reserved.inf", L"\\userDisagreeInstallation.inf",
    L"\\amd64\\WdfCoInstaller01011.dll", L"\\amd64\\winusbcoinstaller2.dll",
};

}  // namespace

std::wstring InstallFolderUnder(std::wstring_view tempPath) {
  const auto folder = ComposePath(tempPath, L"QuorvantaKQ6kInstall");
  if (!folder) return {};
  for (auto name : kLongestNames)
    if (!ComposePath(*folder, name)) return {};
  return *folder;
}

namespace {

std::vector<std::wstring> Subfolders(const std::wstring& installFolder) {
  std::vector<std::wstring> paths;
  for (const wchar_t* subfolder : kPackageSubfolders) paths.push_back(installFolder + subfolder);
  return paths;
}

}  // namespace

std::optional<std::vector<std::wstring>> FolderLinksToRemove(const std::wstring& installFolder,
                                                             const LookAtFolder& look) {
  switch (look(installFolder)) {
    case PathKind::Link:
      return std::vector<std::wstring>{installFolder};
    case PathKind::Unreadable:
      return std::nullopt;
    default:
      break;
  }
  std::vector<std::wstring> links;
  for (const auto& subfolder : Subfolders(installFolder)) {
    const PathKind kind = look(subfolder);
    if (kind == PathKind::Unreadable) return std::nullopt;
    if (kind == PathKind::Link) links.push_back(subfolder);
  }
  return links;
}

std::vector<FolderStep> CleanUpSteps(const std::wstring& installFolder, const LookAtFolder& look) {
  switch (look(installFolder)) {
    case PathKind::Link:
      return {{installFolder, FolderAction::RemoveLink}};
    case PathKind::Unreadable:
      return {};
    default:
      break;
  }
  // An absent subfolder is cleaned all the same: that costs the one wait the
  // removal always had, and keeps the clean-up's timing what it was.
  std::vector<FolderStep> steps;
  for (const auto& subfolder : Subfolders(installFolder)) {
    switch (look(subfolder)) {
      case PathKind::Link:
        steps.push_back({subfolder, FolderAction::RemoveLink});
        break;
      case PathKind::Unreadable:
        break;
      default:
        steps.push_back({subfolder, FolderAction::Clean});
    }
  }
  steps.push_back({installFolder, FolderAction::Clean});
  return steps;
}

}  // namespace kq
