#include "drivers/install.h"

// Declared as a plain function, not a DLL import, so that the call goes
// through the delay-load stub (comctl32 is delay-loaded: CMakeLists.txt).
#define _COMCTL32_
#include <commctrl.h>
#include <shellapi.h>

#include <iterator>
#include <string>
#include <utility>

#include "drivers/driver_store.h"
#include "drivers/elevation.h"
#include "drivers/install_files.h"
#include "drivers/install_wait.h"
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
constexpr Message kAlreadyRunning{
    L"The drivers installation is already running; relaunch KQ-6200 Explorer when it has finished.",
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

// Ends at once, leaving the folder to the script that still runs in it (its
// elevated side removes it once the script has ended).
[[noreturn]] void FailStillRunning(const std::wstring& runFolder) {
  const std::wstring text = L"The drivers installation is still running in " + runFolder +
                            L"; relaunch KQ-6200 Explorer when it has finished.";
  Fail({text.c_str(), kInstaller, MB_OK});
}

// The package's self-extractor, elevated, as the flow follows it: with its
// process when the shell gave one (held to the end of the flow, so its end
// and its exit code can be told at any time). It runs as long as the script.
struct ElevatedSide {
  ScriptStart start = ScriptStart::NotStarted;
  UniqueKernelHandle process;
  bool Ended() const { return process && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (!process || !GetExitCodeProcess(process.get(), &code)) return STILL_ACTIVE;
    return code;
  }
};

// The image elevated is the package itself (its self-extractor, which the
// release signs), never a command shell: the elevation prompt names its
// publisher, and what it runs it takes from the archive sealed into it. The
// shell's own error box is off: a declined prompt or a failed start is
// answered by the flow's refusal message alone.
ElevatedSide StartElevated(const std::wstring& packageFile, const std::wstring& installFolder,
                           const ElevatedRequest& request) {
  const std::wstring parameters = ElevatedParameters(request);
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  run.lpVerb = L"runas";
  run.lpFile = packageFile.c_str();
  run.lpParameters = parameters.c_str();
  run.lpDirectory = installFolder.c_str();
  run.nShow = SW_HIDE;
  const bool started = ShellExecuteExW(&run);
  UniqueKernelHandle process(started ? run.hProcess : nullptr);
  return {ClassifyScriptStart(started, static_cast<bool>(process)), std::move(process)};
}

// Ends the installation as refused: the package is removed from the user's
// temporary folder (the run folder is the elevated side's to remove).
[[noreturn]] void FailRefused(const std::wstring& installFolder) {
  RemoveInstallFolders(installFolder);
  Fail(kWithoutDrivers);
}

void InstallPackage(HINSTANCE instance, int showCommand, bool is64BitOs) {
  const ProgressDialog progress = ShowProgressDialog(instance, showCommand);

  // The package goes to the user's temporary folder; the files it unpacks go
  // to the run folder, which its elevated side makes. A temporary folder too
  // long for the names below it cannot hold the package.
  const std::wstring installFolder = InstallFolder();
  const auto request = NewElevatedRequest();
  const std::wstring runFolder = request ? RunFolder(request->runFolderName) : std::wstring();
  if (installFolder.empty() || runFolder.empty()) Fail(kCannotCreatePackage);
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
  const ElevatedSide elevated = StartElevated(packageFile, installFolder, *request);
  progress.Step();  // 25
  const HANDLE process = elevated.process.get();
  if (elevated.start == ScriptStart::NotStarted) {
    progress.Step();  // 30
    FailRefused(installFolder);
  }

  for (const wchar_t* name : kExtractedFiles) WaitForFileWhileRunning(runFolder, name, process);
  progress.Step();  // 30

  PumpingWait(200);
  // A self-extractor that ended without running the script (its archive or
  // the run folder refused, another installation under way, no command shell)
  // leaves nothing to wait for.
  if (elevated.Ended() && !ScriptRanBefore(elevated.ExitCode())) FailRefused(installFolder);
  progress.Step();  // 35
  for (const wchar_t* marker : kProgressMarkers) {
    WaitForFileWhileRunning(runFolder, marker, process);
    progress.Step();  // 40 .. 60
  }

  // The completion marker wins over the refusal marker. A script that left
  // neither (it has not reached its end) gets one more wait, which ends when
  // it does; if it still has not finished, nothing says the drivers are in
  // the store, so it ends as a refusal and is never reported as a completed
  // installation.
  if (!ProbeFile(runFolder, kFinishedMarker) && !ProbeFile(runFolder, kRefusedMarker))
    WaitForFileWhileRunning(runFolder, kFinishedMarker, process);
  // Nothing is deleted under a running script: one still running now gets a
  // further wait, and if it runs on after that the folder is left to it.
  if (process && !elevated.Ended()) PumpingWait(kScriptEndWaitMs, process);
  // The outcome is read after the end is known: a marker written as the
  // script ends is not missed.
  const bool ended = elevated.Ended();
  const bool finishedMarker = ProbeFile(runFolder, kFinishedMarker);
  const bool finished = InstallationFinished(elevated.start, elevated.ExitCode(), finishedMarker);
  switch (DecideInstallOutcome(
      ScriptMayRun(elevated.start, ended, finishedMarker, ProbeFile(runFolder, kRefusedMarker)),
      finished)) {
    case InstallOutcome::StillRunning:
      FailStillRunning(runFolder);
    case InstallOutcome::Refused:
      FailRefused(installFolder);
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
  // One installation at a time on this machine: a second one would run its
  // own script beside the first.
  const auto lock = TakeInstallationLock();
  if (!lock) Fail(kAlreadyRunning);
  Show(kDisconnect);
  InstallPackage(instance, showCommand, is64BitOs);
  return {};
}

}  // namespace kq
