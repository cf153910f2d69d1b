// Self-extractor of a KQ-6200 driver package.
//
// Started with "-y" it checks the archive appended to its own executable and
// unpacks it into the folder that holds that executable, replacing existing
// files. It writes nothing when any part of the archive is damaged or unsafe,
// nothing outside that folder and its "x86"/"amd64" subfolders, and nothing
// at all when one of those folders is a junction or symbolic link.
//
// Started elevated by KQ-6200 Explorer with "--install NAME SID" it is the
// installation's elevated side (drivers/elevation.h): it takes the archive
// only if it matches the seal in its own image, makes the run folder itself,
// unpacks there, runs the install script from there and waits for it, then
// removes the folder. See FORMAT.md.
#include <windows.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

#include "drivers/elevation_win.h"
#include "drivers/install_files.h"
#include "drivers/path_kind.h"
#include "drivers/run_folder.h"
#include "sfx/archive.h"
#include "base/system_dlls.h"
#include "base/utf8.h"
#include "base/win_handles.h"

// The seal: the packer writes the archive's SHA-256 over the 32 zero bytes
// after the marker (FORMAT.md). Being part of the image, it is covered by the
// package's signature and cannot change while the image runs.
__attribute__((used)) const volatile unsigned char kq_archive_seal[48] = {
    'K', 'Q', '6', 'K', '-', 'S', 'E', 'A', 'L', '-', 'S', 'H', 'A', '2', '5', '6'};

namespace {

// The exit codes, as the driver gate reads them (drivers/elevation.h).
using ExitCode = kq::SfxExit;

// kSfxFinished when files may go into `folder` (no trailing backslash), else the
// exit code that refuses it: a link would carry them wherever it points.
ExitCode CheckTargetFolder(const std::wstring& folder) {
  switch (kq::LookAtPath(folder.c_str())) {
    case kq::PathKind::Folder:
      return kq::kSfxFinished;
    case kq::PathKind::Link:
    case kq::PathKind::Unreadable:
      return kq::kSfxFolderRefused;
    default:
      return kq::kSfxWriteFailed;
  }
}

using kq::UniqueFile;

std::wstring OwnExecutablePath() {
  std::wstring path(512, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>& out) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x40000000) return false;
  out.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < out.size()) {
    DWORD got = 0;
    if (!ReadFile(file.get(), out.data() + done, static_cast<DWORD>(out.size() - done), &got,
                  nullptr) || got == 0)
      return false;
    done += got;
  }
  return true;
}

bool WriteWholeFile(const std::wstring& path, const unsigned char* data, std::size_t size,
                    DWORD disposition) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return size == 0 ||
         (WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size);
}

// Entry paths were checked as safe UTF-8 with '/' separators.
std::wstring TargetPath(const std::wstring& folder, const std::string& entryPath) {
  std::wstring relative;
  if (!kq::decodeUtf8(entryPath, &relative)) return {};
  for (wchar_t& c : relative)
    if (c == L'/') c = L'\\';
  return folder + relative;
}

std::wstring Trimmed(const wchar_t* commandLine) {
  std::wstring args = commandLine ? commandLine : L"";
  const auto first = args.find_first_not_of(L" \t");
  const auto last = args.find_last_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  return args.substr(first, last - first + 1);
}

bool IsOnlyYesSwitch(const wchar_t* commandLine) {
  const std::wstring args = Trimmed(commandLine);
  return args == L"-y" || args == L"-Y";
}

// Every entry's target path under `folder` (ending in a backslash), or the
// exit code that refuses the archive before anything is written.
ExitCode TargetPaths(const std::wstring& folder, const kq::sfx::ArchiveView& archive,
                     std::vector<std::wstring>& targets) {
  for (const auto& entry : archive.entries) {
    std::wstring target = TargetPath(folder, entry.path);
    if (target.empty()) return kq::kSfxDamaged;
    if (target.size() >= MAX_PATH) return kq::kSfxWriteFailed;  // checked before anything is written
    targets.push_back(std::move(target));
  }
  return kq::kSfxFinished;
}

// Makes (or finds) the subfolders the entries need and checks that each is a
// real folder, then writes every entry.
ExitCode WriteEntries(const std::wstring& folder, const kq::sfx::ArchiveView& archive,
                      const std::vector<std::wstring>& targets, DWORD disposition) {
  struct Subfolder { const wchar_t* name; const char* prefix; };
  for (const Subfolder sub : {Subfolder{L"x86", "x86/"}, Subfolder{L"amd64", "amd64/"}}) {
    bool used = false;
    for (const auto& entry : archive.entries) used = used || entry.path.rfind(sub.prefix, 0) == 0;
    if (!used) continue;
    const std::wstring path = folder + sub.name;
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return kq::kSfxWriteFailed;
    // Created now or found, it must be a real folder before anything goes in.
    if (const ExitCode refused = CheckTargetFolder(path); refused != kq::kSfxFinished) return refused;
  }
  for (std::size_t i = 0; i < targets.size(); ++i)
    if (!WriteWholeFile(targets[i], archive.entries[i].data, archive.entries[i].size, disposition))
      return kq::kSfxWriteFailed;
  return kq::kSfxFinished;
}

// ----- The elevated side of an installation --------------------------------

std::wstring SystemFolder(UINT (WINAPI* get)(LPWSTR, UINT)) {
  wchar_t path[MAX_PATH];
  const UINT n = get(path, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(path, n);
}

// GetSystemWindowsDirectoryW: the shared Windows folder, also where the
// system gives each Terminal Services user a Windows folder of their own.
std::wstring WindowsFolder() { return SystemFolder(GetSystemWindowsDirectoryW); }

// Run folders of earlier installations. This process holds the script lock,
// which every earlier self-extractor held until it ended, and the scripts of
// each ran in a job that ends them with it: no earlier script can still run.
void RemoveEarlierRunFolders(const std::wstring& temp) {
  std::vector<std::wstring> folders;
  WIN32_FIND_DATAW entry;
  {
    const std::wstring pattern = temp + L"\\" + std::wstring(kq::kRunFolderPrefix) + L"*";
    const kq::UniqueFind search(FindFirstFileW(pattern.c_str(), &entry));
    if (search) {
      do {
        if (kq::IsRunFolderName(entry.cFileName)) folders.push_back(temp + L"\\" + entry.cFileName);
      } while (FindNextFileW(search.get(), &entry));
    }
  }
  for (const auto& folder : folders)
    if (kq::LookAtPath(folder.c_str()) == kq::PathKind::Folder && kq::OwnedByAdministrators(folder))
      kq::RemoveRunFolder(folder);
}

// The script named by the package's "Setup" setting: one of its top-level
// entries, a batch file.
std::wstring SetupScript(const kq::sfx::ArchiveView& archive) {
  std::wstring script;
  const std::u16string setup = kq::sfx::SettingValue(archive.settings, u"Setup");
  for (char16_t c : setup) script += static_cast<wchar_t>(c);
  if (script.size() < 5 || script.find(L'/') != std::wstring::npos) return {};
  std::wstring extension = script.substr(script.size() - 4);
  for (wchar_t& c : extension) c = static_cast<wchar_t>(towlower(c));
  if (extension != L".bat") return {};
  for (const auto& entry : archive.entries) {
    std::wstring path;
    if (kq::decodeUtf8(entry.path, &path) && path == script) return script;
  }
  return {};
}

// The script in a command shell of the system's own architecture (on 64-bit
// Windows the 64-bit one, which sees the real System32), hidden, with an
// environment of our making, in a job that ends whatever it started when
// this process ends. Null when the shell could not be started.
kq::UniqueKernelHandle StartScript(const std::wstring& runFolder, const std::wstring& script,
                                   HANDLE job) {
  const std::wstring system = SystemFolder(GetSystemDirectoryW);
  const std::wstring windows = WindowsFolder();
  if (system.empty() || windows.empty()) return {};
  const std::wstring cmd = system + L"\\cmd.exe";
  std::wstring commandLine = kq::ScriptCommandLine(cmd, runFolder + L"\\" + script);
  std::wstring environment = kq::ScriptEnvironment(windows, system, runFolder);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  BOOL wow64 = FALSE;
  PVOID redirection = nullptr;
  const bool redirected = IsWow64Process(GetCurrentProcess(), &wow64) && wow64 &&
                          Wow64DisableWow64FsRedirection(&redirection);
  const BOOL started = CreateProcessW(
      cmd.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
      runFolder.c_str(), &startup, &process);
  if (redirected) Wow64RevertWow64FsRedirection(redirection);
  if (!started) return {};
  kq::UniqueKernelHandle thread(process.hThread);
  // A process already in a job it may not leave (older Windows allow one job
  // only) runs the script outside ours: it is still awaited, only not ended
  // with us.
  AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(thread.get());
  return kq::UniqueKernelHandle(process.hProcess);
}

// ----- The lock of the elevated side (drivers/elevation.h) --------------------

struct BoundaryTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer boundary) noexcept { DeleteBoundaryDescriptor(boundary); }
};
struct NamespaceTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer opened) noexcept { ClosePrivateNamespace(opened, 0); }
};
using UniqueBoundary = kq::UniqueHandle<BoundaryTraits>;
using UniqueNamespace = kq::UniqueHandle<NamespaceTraits>;

struct ScriptLock {
  bool taken = false;
  UniqueNamespace privateNamespace;  // held as long as the mutex in it
  kq::UniqueKernelHandle mutex;
  kq::UniqueKernelHandle sign;
};

// A new mutex named `name`, owned now by this thread, made with the SDDL
// descriptor `sddl` (none when null); null when it existed already or could
// not be made.
kq::UniqueKernelHandle NewOwnedMutex(const wchar_t* name, const wchar_t* sddl) {
  const kq::UniqueDescriptor descriptor = sddl ? kq::DescriptorFromSddl(sddl) : kq::UniqueDescriptor();
  if (sddl && !descriptor) return {};
  SECURITY_ATTRIBUTES attributes = kq::AttributesOf(descriptor);
  kq::UniqueKernelHandle mutex(CreateMutexW(sddl ? &attributes : nullptr, TRUE, name));
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  return existed ? kq::UniqueKernelHandle() : std::move(mutex);
}

// The private namespace of the lock, made or opened; null when this process
// cannot have it. `unavailable` tells a system that offers no private
// namespace at all (no boundary descriptor can be made) from a refusal.
UniqueNamespace OpenLockNamespace(bool& unavailable) {
  unavailable = false;
  UniqueBoundary boundary(CreateBoundaryDescriptorW(kq::kScriptLockNamespace, 0));
  if (!boundary) {
    unavailable = true;
    return {};
  }
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
    return {};
  // Adding a SID may move the descriptor: the owner takes what comes back.
  HANDLE boundaryHandle = boundary.release();
  const bool added = AddSIDToBoundaryDescriptor(&boundaryHandle, administrators);
  boundary.reset(boundaryHandle);
  if (!added) return {};
  const kq::UniqueDescriptor descriptor = kq::DescriptorFromSddl(kq::kScriptLockNamespaceSddl);
  if (!descriptor) return {};
  SECURITY_ATTRIBUTES attributes = kq::AttributesOf(descriptor);
  UniqueNamespace opened(
      CreatePrivateNamespaceW(&attributes, boundaryHandle, kq::kScriptLockNamespace));
  if (!opened && GetLastError() == ERROR_ALREADY_EXISTS)
    opened.reset(OpenPrivateNamespaceW(boundaryHandle, kq::kScriptLockNamespace));
  return opened;
}

// The lock in the private namespace, and the sign beside it for the
// unelevated program. Where the system offers no private namespace, the sign
// is the lock. Anything else that fails refuses the lock: a script never runs
// unlocked.
ScriptLock TakeScriptLock() {
  ScriptLock lock;
  bool unavailable = false;
  lock.privateNamespace = OpenLockNamespace(unavailable);
  lock.sign = NewOwnedMutex(kq::kScriptSignName, kq::kScriptSignSddl);
  if (unavailable) {
    lock.taken = static_cast<bool>(lock.sign);
    return lock;
  }
  if (!lock.privateNamespace) return lock;
  lock.mutex = NewOwnedMutex(kq::kScriptLockName, nullptr);
  lock.taken = static_cast<bool>(lock.mutex);
  return lock;
}

ExitCode RunElevated(const kq::ElevatedRequest& request, const kq::sfx::ArchiveView& archive,
                     const std::vector<unsigned char>& package) {
  // Only the archive this image was sealed for: the file read by name could
  // have been renamed away and replaced since the elevation prompt.
  unsigned char seal[32];
  for (std::size_t i = 0; i < sizeof seal; ++i) seal[i] = kq_archive_seal[kq::sfx::kSealMarkerSize + i];
  const auto digest = kq::sfx::Sha256(package.data() + archive.archiveOffset,
                                      archive.archiveEnd - archive.archiveOffset);
  if (!kq::sfx::SealMatches(seal, digest)) return kq::kSfxDamaged;
  const std::wstring script = SetupScript(archive);
  if (script.empty()) return kq::kSfxDamaged;

  // One installation at a time on this machine; held until this process ends.
  const ScriptLock lock = TakeScriptLock();
  if (!lock.taken) return kq::kSfxBusy;

  const std::wstring windows = WindowsFolder();
  const std::wstring runFolder = kq::RunFolderUnder(windows, request.runFolderName);
  if (runFolder.empty()) return kq::kSfxFolderRefused;
  RemoveEarlierRunFolders(windows + L"\\Temp");
  if (!kq::MakeRunFolder(runFolder, request.userSid)) return kq::kSfxFolderRefused;

  std::vector<std::wstring> targets;
  ExitCode unpacked = TargetPaths(runFolder + L"\\", archive, targets);
  if (unpacked == kq::kSfxFinished) unpacked = WriteEntries(runFolder + L"\\", archive, targets, CREATE_NEW);
  if (unpacked != kq::kSfxFinished) {
    kq::RemoveRunFolder(runFolder);
    return unpacked;
  }

  const kq::UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job) SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  const kq::UniqueKernelHandle process = StartScript(runFolder, script, job.get());
  if (!process) {
    kq::RemoveRunFolder(runFolder);
    return kq::kSfxScriptNotStarted;
  }
  WaitForSingleObject(process.get(), INFINITE);
  // The end marker is the script's last act; read after its end, it is final.
  const std::wstring finished = runFolder + kq::kFinishedMarker;
  const bool done = GetFileAttributesW(finished.c_str()) != INVALID_FILE_ATTRIBUTES;
  kq::RemoveRunFolder(runFolder);
  return done ? kq::kSfxFinished : kq::kSfxNotFinished;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  kq::LoadDllsFromSystemOnly();
  const std::wstring self = OwnExecutablePath();
  std::vector<unsigned char> package;
  if (self.empty() || !ReadWholeFile(self, package)) return kq::kSfxCannotRead;

  kq::sfx::ArchiveView archive;
  if (kq::sfx::ReadArchive(package.data(), package.size(), archive) != kq::sfx::ArchiveError::None)
    return kq::kSfxDamaged;

  const std::wstring arguments = Trimmed(commandLine);
  if (arguments.rfind(kq::kElevatedSwitch, 0) == 0) {
    const auto request = kq::ParseElevatedParameters(arguments);
    return request ? RunElevated(*request, archive, package) : kq::kSfxUsage;
  }

  if (!IsOnlyYesSwitch(commandLine)) {
    // Unpacking alone installs nothing: the KQ-6200 program runs the script.
    const std::u16string title = kq::sfx::SettingValue(archive.settings, u"Title");
    MessageBoxW(nullptr, L"This driver package is installed by KQ-6200 Explorer; start the program instead.",
                reinterpret_cast<const wchar_t*>(title.c_str()), MB_OK);
    return kq::kSfxUsage;
  }

  const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
  std::vector<std::wstring> targets;
  if (const ExitCode refused = TargetPaths(folder, archive, targets); refused != kq::kSfxFinished)
    return refused;
  // Only the folder itself is examined, not the folders above it: a user's
  // temporary folder may well lie on a linked drive or folder.
  const std::wstring ownFolder = folder.size() > 3 ? folder.substr(0, folder.size() - 1) : folder;
  if (const ExitCode refused = CheckTargetFolder(ownFolder); refused != kq::kSfxFinished) return refused;
  return WriteEntries(folder, archive, targets, CREATE_ALWAYS);
}
