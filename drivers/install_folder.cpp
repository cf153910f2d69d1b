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

}  // namespace kq
