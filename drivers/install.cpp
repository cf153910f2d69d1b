#include "drivers/install.h"

#include <commctrl.h>
#include <shellapi.h>

#include <iterator>
#include <string>
#include <utility>

#include "drivers/driver_store.h"
#include "drivers/install_files.h"
#include "drivers/install_wait.h"
#include "drivers/native_system_folder.h"
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

// The dialog answers while the installation waits, but it cannot be closed:
// closing would leave the elevated script running with nothing to follow it.
INT_PTR CALLBACK ProgressDialogProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
    case WM_CLOSE:
      return TRUE;
    case WM_COMMAND:
      return LOWORD(wParam) == IDCANCEL;
    case WM_SYSCOMMAND:
      return (wParam & 0xFFF0) == SC_CLOSE;
    default:
      return FALSE;
  }
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
  PumpingWait(200);
}

// Ends at once, leaving the folder to the script that still runs in it.
[[noreturn]] void FailStillRunning(const std::wstring& installFolder) {
  const std::wstring text = L"The drivers installation is still running in " + installFolder +
                            L"; relaunch KQ-6200 Explorer when it has finished.";
  Fail({text.c_str(), kInstaller, MB_OK});
}

// The install script as the flow follows it, with its process when the shell
// gave one (held to the end of the flow, so its end can be told at any time).
struct InstallScript {
  ScriptStart start = ScriptStart::NotStarted;
  UniqueKernelHandle process;
  bool Ended() const { return process && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0; }
};

// Elevated and hidden. The shell's own error box is off: a declined prompt
// or a failed start is answered by the flow's refusal message alone.
InstallScript StartInstallScript(const std::wstring& installFolder, bool is64BitOs) {
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  run.lpVerb = L"runas";
  run.lpFile = is64BitOs ? L"install_KQ-6200x64.bat" : L"install_KQ-6200x86.bat";
  run.lpParameters = L"";
  run.lpDirectory = installFolder.c_str();
  run.nShow = SW_HIDE;
  const bool started = ShellExecuteExW(&run);
  UniqueKernelHandle process(started ? run.hProcess : nullptr);
  return {ClassifyScriptStart(started, static_cast<bool>(process)), std::move(process)};
}

// Starts the install script and follows its markers. On 64-bit Windows the
// script must start outside WOW64's file-system redirection, or the 32-bit
// command shell would run it and see SysWOW64 as System32. A script that did
// not start ends the installation at once as refused: nothing would ever
// write a marker.
InstallScript RunInstallScript(const std::wstring& installFolder, const ProgressDialog& progress,
                               bool is64BitOs) {
  NativeSystemFolder native(is64BitOs, kRedirectionCaption);
  if (native.Unavailable()) return {};
  InstallScript script = StartInstallScript(installFolder, is64BitOs);
  if (script.start == ScriptStart::NotStarted) {
    native.Restore();
    RemoveInstallFolders(installFolder);
    Fail(kWithoutDrivers);
  }
  progress.Step();
  for (const wchar_t* marker : kProgressMarkers) {
    WaitForFile(installFolder, marker);
    if (marker == kProgressMarkers[std::size(kProgressMarkers) - 1]) native.Restore();
    progress.Step();
  }
  return script;
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
  PumpingWait(200);
  progress.Step();  // 5

  CreateDirectoryW(installFolder.c_str(), nullptr);
  const std::wstring packageFile = installFolder + L"\\drv.exe";
  PumpingWait(200);
  progress.Step();  // 10

  WritePackage(packageFile, is64BitOs);
  progress.Step();  // 15

  PumpingWait(200);
  WaitForFile(installFolder, L"\\drv.exe");
  progress.Step();  // 20

  PumpingWait(500);
  ShellExecuteW(nullptr, L"open", L"drv.exe", L"-y", installFolder.c_str(), SW_HIDE);
  progress.Step();  // 25

  for (const wchar_t* name : kExtractedFiles) WaitForFile(installFolder, name);
  progress.Step();  // 30

  PumpingWait(200);
  const InstallScript script = RunInstallScript(installFolder, progress, is64BitOs);  // 35 .. 60

  // The completion marker wins over the refusal marker. A script that left
  // neither (it never reached its end, or it was never started because
  // redirection could not be switched off) gets one more wait; if it still has
  // not finished, nothing says the drivers are in the store, so it ends as a
  // refusal and is never reported as a completed installation.
  if (!ProbeFile(installFolder, kFinishedMarker) && !ProbeFile(installFolder, kRefusedMarker))
    WaitForFile(installFolder, kFinishedMarker);
  // Nothing is deleted under a running script: one still running now gets a
  // further wait, and if it runs on after that the folder is left to it.
  if (script.process && !script.Ended()) PumpingWait(kScriptEndWaitMs, script.process.get());
  // The markers are read after the end is known: a marker written as the
  // script ends is not missed.
  const bool ended = script.Ended();
  const bool finished = ProbeFile(installFolder, kFinishedMarker);
  switch (DecideInstallOutcome(
      ScriptMayRun(script.start, ended, finished, ProbeFile(installFolder, kRefusedMarker)),
      finished)) {
    case InstallOutcome::StillRunning:
      FailStillRunning(installFolder);
    case InstallOutcome::Refused:
      RemoveInstallFolders(installFolder);
      Fail(kWithoutDrivers);
    case InstallOutcome::Finished:
      break;
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
