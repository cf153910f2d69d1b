#include "drivers/install.h"

// Declared as a plain function, not a DLL import, so that the call goes
// through the delay-load stub (comctl32 is delay-loaded: CMakeLists.txt).
#define _COMCTL32_
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <utility>

#include "drivers/driver_package.h"
#include "drivers/driver_store.h"
#include "drivers/elevation_win.h"
#include "drivers/install_files.h"
#include "drivers/install_wait.h"
#include "drivers/package_file.h"
#include "osver/os_level.h"
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
  HWND window = nullptr;
  HWND bar = nullptr;
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

// Writes the package whole into a file that must not exist yet, made so that
// no process of the user can write it once the program's writing handle has
// ended (package_file.h), and returns that file held open, shared for reading
// only, until the elevated side has ended: no other process can write, delete
// or rename it meanwhile, so the image that is elevated is the one written
// here. What the held handle reads back must be the package: a writable view
// that another process had mapped before the descriptor was in force would
// show there.
UniqueFile WritePackage(HANDLE installFolder, DriverPackage which) {
  const PackageData package =
      LoadPackageResource(which == DriverPackage::kX64 ? IDR_DRIVERS_X64 : IDR_DRIVERS_X86);
  if (!package.data) Fail(kPackageMissing);
  UniqueFile writing = CreatePackageFile(installFolder, kPackageName);
  if (!writing) Fail(kCannotCreatePackage);
  DWORD written = 0;
  if (!WriteFile(writing.get(), package.data, package.size, &written, nullptr) ||
      written != package.size)
    Fail(kCannotWritePackage);
  UniqueFile held = HoldWritten(std::move(writing), package);
  if (!held) Fail(kCannotWritePackage);
  PumpingWait(200);
  return held;
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
// publisher, and what it runs it takes from the archive sealed into it. It is
// named by the path the system gives for the held file (HeldFilePath), in
// its folder: the path the program composed could lead elsewhere by now. The
// shell's own error box is off: a declined prompt or a failed start is
// answered by the flow's refusal message alone.
ElevatedSide StartElevated(const std::wstring& packageFile, const ElevatedRequest& request) {
  const std::wstring parameters = ElevatedParameters(request);
  const std::wstring installFolder = FolderOfPath(packageFile);
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

// One installation as the flow follows it, step by step.
struct Installation {
  ProgressDialog progress;
  std::wstring installFolder;  // in the user's temporary folder: the package
  std::wstring runFolder;      // in Windows' Temp folder: what the package unpacks
  std::wstring heldPackagePath;  // the held package's final path (HeldFilePath)
  ElevatedRequest request;
  // Both until the elevated side has ended (HoldFolder, WritePackage).
  UniqueFile heldFolder;
  UniqueFile heldPackage;
  ElevatedSide elevated;
};

// Lets go of the install folder and the package, so that they can be removed.
void ReleaseHold(Installation& installation) {
  installation.heldPackage.reset();
  installation.heldFolder.reset();
}

// The install folder held open, shared for everything but deletion and
// renaming, from its making until the elevated side has ended: the folder in
// which the package lies can be neither renamed nor replaced meanwhile
// (Windows itself refuses to rename a folder in which a file is open; Wine
// does not). It is opened as itself, not through a link: a link planted in
// its place since it was made is refused.
UniqueFile HoldFolder(const std::wstring& folder) {
  UniqueFile held(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!held || !GetFileInformationByHandle(held.get(), &information) ||
      !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    Fail(kCannotCreatePackage);
  return held;
}

// Ends the installation as refused: the package is removed from the user's
// temporary folder (the run folder is the elevated side's to remove).
[[noreturn]] void FailRefused(Installation& installation) {
  ReleaseHold(installation);
  RemoveInstallFolders(installation.installFolder);
  Fail(kWithoutDrivers);
}

// The folders named, and the user's install folder emptied and made anew. A
// temporary folder too long for the names below it cannot hold the package.
void PrepareFolders(Installation& installation) {
  installation.installFolder = InstallFolder();
  const auto request = NewElevatedRequest();
  installation.runFolder = request ? RunFolder(request->runFolderName) : std::wstring();
  if (installation.installFolder.empty() || installation.runFolder.empty())
    Fail(kCannotCreatePackage);
  installation.request = *request;
  // A link planted as the folder or a subfolder would carry the package, and
  // later the clean-up, wherever it points.
  if (!RemoveInstallFolderLinks(installation.installFolder)) Fail(kCannotCreatePackage);
  RemoveFolder(installation.installFolder);
  PumpingWait(200);
  installation.progress.Step();  // 5

  // Made new here, or the installation ends: a folder that is still there
  // is one the clean-up could not remove.
  if (!CreateDirectoryW(installation.installFolder.c_str(), nullptr)) Fail(kCannotCreatePackage);
  installation.heldFolder = HoldFolder(installation.installFolder);
  // Checked once the folder is held: a real folder above it can no longer be
  // renamed or replaced, and a link above it is one the user cannot change.
  if (!InstallFolderAncestorsTrusted(installation.installFolder)) Fail(kCannotCreatePackage);
  PumpingWait(200);
  installation.progress.Step();  // 10
}

// The package is made in the held folder by its handle, and must be found
// there by the system: its final path's folder is the held folder's final
// path, on a local drive (HeldFilePath gives no other).
void PlacePackage(Installation& installation, DriverPackage which) {
  installation.heldPackage = WritePackage(installation.heldFolder.get(), which);
  installation.heldPackagePath = HeldFilePath(installation.heldPackage.get());
  const std::wstring heldFolderPath = HeldFilePath(installation.heldFolder.get());
  if (installation.heldPackagePath.empty() || heldFolderPath.empty() ||
      FolderOfPath(installation.heldPackagePath) != heldFolderPath)
    Fail(kCannotCreatePackage);
  installation.progress.Step();  // 15

  PumpingWait(200);
  WaitForFile(installation.installFolder, kPackageFile);
  installation.progress.Step();  // 20
}

// The elevated start, and the wait for what it unpacks. A self-extractor that
// ended without running the script (its archive or the run folder refused,
// no command shell) leaves nothing to wait for; one that found another
// installation under way says so.
void StartElevatedSide(Installation& installation) {
  PumpingWait(500);
  installation.elevated =
      StartElevated(installation.heldPackagePath, installation.request);
  installation.progress.Step();  // 25
  if (installation.elevated.start == ScriptStart::NotStarted) {
    installation.progress.Step();  // 30
    FailRefused(installation);
  }

  const HANDLE process = installation.elevated.process.get();
  for (const wchar_t* name : kExtractedFiles)
    WaitForFileWhileRunning(installation.runFolder, name, process);
  installation.progress.Step();  // 30

  PumpingWait(200);
  const ElevatedSide& elevated = installation.elevated;
  if (elevated.Ended() && elevated.ExitCode() == kSfxBusy) {
    ReleaseHold(installation);
    RemoveInstallFolders(installation.installFolder);
    Fail(kAlreadyRunning);
  }
  if (elevated.Ended() && !ScriptRanBefore(elevated.ExitCode())) FailRefused(installation);
  installation.progress.Step();  // 35
}

void FollowMarkers(Installation& installation) {
  for (const wchar_t* marker : kProgressMarkers) {
    WaitForFileWhileRunning(installation.runFolder, marker, installation.elevated.process.get());
    installation.progress.Step();  // 40 .. 60
  }
}

// The completion marker wins over the refusal marker. A script that left
// neither (it has not reached its end) gets one more wait, which ends when it
// does; if it still has not finished, nothing says the drivers are in the
// store, so it ends as a refusal and is never reported as a completed
// installation. Nothing is deleted under a running script: one still running
// now gets a further wait, and if it runs on after that the folder is left to
// it. The outcome is read after the end is known: a marker written as the
// script ends is not missed.
void Conclude(Installation& installation) {
  const std::wstring& runFolder = installation.runFolder;
  const ElevatedSide& elevated = installation.elevated;
  const HANDLE process = elevated.process.get();
  if (!ProbeFile(runFolder, kFinishedMarker) && !ProbeFile(runFolder, kRefusedMarker))
    WaitForFileWhileRunning(runFolder, kFinishedMarker, process);
  if (process && !elevated.Ended()) PumpingWait(kScriptEndWaitMs, process);
  const bool ended = elevated.Ended();
  const bool finishedMarker = ProbeFile(runFolder, kFinishedMarker);
  const bool finished = InstallationFinished(elevated.start, elevated.ExitCode(), finishedMarker);
  switch (DecideInstallOutcome(
      ScriptMayRun(elevated.start, ended, finishedMarker, ProbeFile(runFolder, kRefusedMarker)),
      finished)) {
    case InstallOutcome::StillRunning:
      FailStillRunning(runFolder);
    case InstallOutcome::Refused:
      FailRefused(installation);
    case InstallOutcome::Finished:
      break;
  }
  ReleaseHold(installation);
  RemoveInstallFolders(installation.installFolder);
  installation.progress.Step();  // 65
  DestroyWindow(installation.progress.window);
  Show(kCompleted);
}

void InstallPackage(HINSTANCE instance, int showCommand, DriverPackage which) {
  Installation installation;
  installation.progress = ShowProgressDialog(instance, showCommand);
  PrepareFolders(installation);
  PlacePackage(installation, which);
  StartElevatedSide(installation);
  FollowMarkers(installation);
  Conclude(installation);
}

}  // namespace

DriverGateOutcome CheckAndInstallDrivers(HINSTANCE instance, int showCommand,
                                         const NativeMachine& machine) {
  const std::wstring repositoryFolder = RepositoryFolder();
  DriverGateOutcome outcome;
  outcome.osLevel = DetectOsLevel();
  if (outcome.osLevel <= 0) {
    Show(kUnsupportedOs);
    return outcome;
  }
  switch (CheckInstalledDrivers(repositoryFolder, RunsUnderWow64(kProgramMachine, machine.kind))) {
    case DriverState::AllPresent:
      return outcome;
    case DriverState::FtdiMissing:
      if (Show(kFtdiQuestion) == IDYES)
        ShellExecuteW(nullptr, L"open", kVendorPage, nullptr, nullptr, SW_SHOWNORMAL);
      Fail(kRelaunch);
    case DriverState::DeviceDriversMissing:
      break;
  }
  const DriverPackage package = DriverPackageFor(kProgramMachine, machine.kind);
  if (package == DriverPackage::kNone) {
    const std::wstring text = NoDriverPackageText(machine);
    Show({text.c_str(), kInstaller, MB_OK});
    outcome.mcuDriversPresent = false;
    return outcome;
  }
  if (Show(kInstallOffer) != IDYES) {
    Show(kWithoutDrivers);
    outcome.mcuDriversPresent = false;
    return outcome;
  }
  // One installation at a time on this machine: a second one would run its
  // own script beside the first.
  const auto lock = TakeInstallationLock();
  if (!lock) Fail(kAlreadyRunning);
  Show(kDisconnect);
  InstallPackage(instance, showCommand, package);
  return outcome;
}

}  // namespace kq
