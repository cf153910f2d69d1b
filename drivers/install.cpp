#include "drivers/install.h"

#include <commctrl.h>
#include <shellapi.h>

#include <iterator>
#include <string>

#include "drivers/driver_store.h"
#include "drivers/install_files.h"
#include "drivers/os_level.h"
#include "base/win_handles.h"
#include "res/resource.h"

namespace kq {
namespace {

struct Message {
  const wchar_t* text;
  const wchar_t* caption;
  UINT buttons;
};

constexpr wchar_t kInstaller[] = L"Drivers installer";

constexpr Message kUnsupportedOs{L"Unsupported OS detected", L"KQ-6200 Explorer", MB_OK};
constexpr Message kFtdiQuestion{
    L"Drivers for FTDI component of KQ-6200 not installed. Would you like to visit "
    L"ftdichip.com to download them now?",
    kInstaller, MB_YESNO};
constexpr Message kRelaunch{L"Please, install FTDI VCP drivers and then relaunch KQ-6200 Explorer.",
                            kInstaller, MB_OK};
constexpr Message kInstallOffer{
    L"Drivers for KQ-6200 not installed. Would you like to install them now?", kInstaller, MB_YESNO};
constexpr Message kWithoutDrivers{
    L"Without drivers KQ-6200 Explorer can not enumerate WinKey and FSK ports.", kInstaller, MB_OK};
constexpr Message kDisconnect{
    L"Please disconnect your KQ-6200 from the USB port until installation is complete", kInstaller,
    MB_OK};
constexpr Message kCannotCreatePackage{L"Error: Can't create drivers package on disk", kInstaller,
                                       MB_OK};
constexpr Message kCannotWritePackage{L"Error: Can't write to drivers package", kInstaller, MB_OK};
constexpr Message kPackageMissing{
    L"Error: The drivers package is missing from KQ-6200 Explorer. Please reinstall the program.",
    kInstaller, MB_OK};
constexpr Message kCannotRevertRedirection{L"Can't revert WOW64 redirection", L"Driver installer",
                                           MB_OK};
constexpr Message kCompleted{
    L"Installation completed. Please connect your device to the USB port. Now your Windows will "
    L"detect the devices. This may take a few minutes, please wait.",
    kInstaller, MB_OK};

constexpr wchar_t kVendorPage[] = L"https://ftdichip.com/drivers/vcp-drivers/";

int Show(const Message& message) {
  return MessageBoxW(nullptr, message.text, message.caption, message.buttons);
}

// Ends at once: no exit handlers; the progress dialog stays until the process goes.
[[noreturn]] void Fail(const Message& message) {
  Show(message);
  ExitProcess(1);
}

INT_PTR CALLBACK ProgressDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

struct ProgressDialog {
  HWND window;
  HWND bar;
  void Step() const { SendMessageW(bar, PBM_STEPIT, 0, 0); }
};

ProgressDialog ShowProgressDialog(HINSTANCE instance, int showCommand) {
  // The dialog's DS_NOFAILCREATE would hide a missing progress bar class.
  const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  const HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_INSTALL_PROGRESS), nullptr,
                                         ProgressDialogProc, 0);
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  const HWND bar = GetDlgItem(window, IDC_INSTALL_PROGRESS);
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(bar, PBM_SETSTEP, 5, 0);
  return {window, bar};
}

// Writes the package whole into a file that must not exist yet.
void WritePackage(const std::wstring& packageFile, bool is64BitOs) {
  const PackageData package = LoadPackageResource(is64BitOs ? IDR_DRIVERS_X64 : IDR_DRIVERS_X86);
  if (!package.data) Fail(kPackageMissing);
  const UniqueFile file(CreateFileW(packageFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) Fail(kCannotCreatePackage);
  DWORD written = 0;
  if (!WriteFile(file.get(), package.data, package.size, &written, nullptr) ||
      written != package.size)
    Fail(kCannotWritePackage);
  Sleep(200);
}

// Starts the install script elevated and follows its markers. On 64-bit
// Windows the script must start outside WOW64's file-system redirection, or
// the 32-bit command shell would run it and see SysWOW64 as System32.
void RunInstallScript(const std::wstring& installFolder, const ProgressDialog& progress,
                      bool is64BitOs) {
  PVOID redirection = nullptr;
  if (is64BitOs && !Wow64DisableWow64FsRedirection(&redirection)) return;
  ShellExecuteW(nullptr, L"runas", is64BitOs ? L"install_KQ-6200x64.bat" : L"install_KQ-6200x86.bat",
                L"", installFolder.c_str(), SW_HIDE);
  progress.Step();
  for (const wchar_t* marker : kProgressMarkers) {
    WaitForFile(installFolder, marker);
    if (marker == kProgressMarkers[std::size(kProgressMarkers) - 1] && is64BitOs &&
        !Wow64RevertWow64FsRedirection(redirection))
      Fail(kCannotRevertRedirection);
    progress.Step();
  }
}

void InstallPackage(HINSTANCE instance, int showCommand, bool is64BitOs) {
  const ProgressDialog progress = ShowProgressDialog(instance, showCommand);

  // A temporary folder too long for the names below it cannot hold the package.
  const std::wstring installFolder = InstallFolder();
  if (installFolder.empty()) Fail(kCannotCreatePackage);
  // A link planted as the folder or a subfolder would carry the package, and
  // later the clean-up, wherever it points.
  if (!RemoveInstallFolderLinks(installFolder)) Fail(kCannotCreatePackage);
  RemoveFolder(installFolder);
  Sleep(200);
  progress.Step();  // 5

  CreateDirectoryW(installFolder.c_str(), nullptr);
  const std::wstring packageFile = installFolder + L"\\drv.exe";
  Sleep(200);
  progress.Step();  // 10

  WritePackage(packageFile, is64BitOs);
  progress.Step();  // 15

  Sleep(200);
  WaitForFile(installFolder, L"\\drv.exe");
  progress.Step();  // 20

  Sleep(500);
  ShellExecuteW(nullptr, L"open", L"drv.exe", L"-y", installFolder.c_str(), SW_HIDE);
  progress.Step();  // 25

  for (const wchar_t* name : kExtractedFiles) WaitForFile(installFolder, name);
  progress.Step();  // 30

  Sleep(200);
  RunInstallScript(installFolder, progress, is64BitOs);  // 35 .. 60

  // The completion marker wins over the refusal marker. A script that left
  // neither (elevation declined, the script never started or never reached its
  // end) gets one more wait; if it still has not finished, nothing says the
  // drivers are in the store, so it ends as a refusal and is never reported as
  // a completed installation.
  if (!ProbeFile(installFolder, kFinishedMarker) && !ProbeFile(installFolder, kRefusedMarker))
    WaitForFile(installFolder, kFinishedMarker);
  if (!ProbeFile(installFolder, kFinishedMarker)) {
    RemoveInstallFolders(installFolder);
    Fail(kWithoutDrivers);
  }
  RemoveInstallFolders(installFolder);
  progress.Step();  // 65
  DestroyWindow(progress.window);
  Show(kCompleted);
}

}  // namespace

DriverGateOutcome CheckAndInstallDrivers(HINSTANCE instance, int showCommand, bool is64BitOs) {
  const std::wstring repositoryFolder = RepositoryFolder();
  if (DetectOsLevel() <= 0) {
    Show(kUnsupportedOs);
    return {};
  }
  switch (CheckInstalledDrivers(repositoryFolder, is64BitOs)) {
    case DriverState::AllPresent:
      return {};
    case DriverState::FtdiMissing:
      if (Show(kFtdiQuestion) == IDYES)
        ShellExecuteW(nullptr, L"open", kVendorPage, nullptr, nullptr, SW_SHOWNORMAL);
      Fail(kRelaunch);
    case DriverState::DeviceDriversMissing:
      break;
  }
  if (Show(kInstallOffer) != IDYES) {
    Show(kWithoutDrivers);
    return {/*mcuDriversPresent=*/false};
  }
  Show(kDisconnect);
  InstallPackage(instance, showCommand, is64BitOs);
  return {};
}

}  // namespace kq
