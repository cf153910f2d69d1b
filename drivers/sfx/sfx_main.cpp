// Self-extractor of a KQ-6200 driver package. Started with "-y" it checks the
// archive appended to its own executable and unpacks it into the folder that
// holds that executable, replacing existing files. It writes nothing when any
// part of the archive is damaged or unsafe, nothing outside that folder
// and its "x86"/"amd64" subfolders, and nothing at all when one of those
// folders is a junction or symbolic link. See FORMAT.md.
#include <windows.h>

#include <string>
#include <vector>

#include "drivers/path_kind.h"
#include "drivers/sfx/archive.h"
#include "base/utf8.h"
#include "base/win_handles.h"

namespace {

enum ExitCode : int {
  kUnpacked = 0,
  kNotAsked = 2,      // started without "-y"
  kCannotRead = 3,    // own executable unreadable
  kDamaged = 4,       // archive check failed; nothing written
  kWriteFailed = 5,   // a file or folder could not be written
  kLinkedFolder = 6,  // the target folder or a subfolder is a link, or cannot be examined
};

// kUnpacked when files may go into `folder` (no trailing backslash), else the
// exit code that refuses it: a link would carry them wherever it points.
ExitCode CheckTargetFolder(const std::wstring& folder) {
  switch (kq::LookAtPath(folder.c_str())) {
    case kq::PathKind::Folder:
      return kUnpacked;
    case kq::PathKind::Link:
    case kq::PathKind::Unreadable:
      return kLinkedFolder;
    default:
      return kWriteFailed;
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

bool WriteWholeFile(const std::wstring& path, const unsigned char* data, std::size_t size) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
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

bool IsOnlyYesSwitch(const wchar_t* commandLine) {
  std::wstring args = commandLine ? commandLine : L"";
  const auto first = args.find_first_not_of(L" \t");
  const auto last = args.find_last_not_of(L" \t");
  if (first == std::wstring::npos) return false;
  args = args.substr(first, last - first + 1);
  return args == L"-y" || args == L"-Y";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  const std::wstring self = OwnExecutablePath();
  std::vector<unsigned char> package;
  if (self.empty() || !ReadWholeFile(self, package)) return kCannotRead;

  kq::sfx::ArchiveView archive;
  if (kq::sfx::ReadArchive(package.data(), package.size(), archive) != kq::sfx::ArchiveError::None)
    return kDamaged;

  if (!IsOnlyYesSwitch(commandLine)) {
    // Unpacking alone installs nothing: the KQ-6200 program runs the script.
    const std::u16string title = kq::sfx::SettingValue(archive.settings, u"Title");
    MessageBoxW(nullptr, L"This driver package is installed by KQ-6200 Explorer; start the program instead.",
                reinterpret_cast<const wchar_t*>(title.c_str()), MB_OK);
    return kNotAsked;
  }

  const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
  std::vector<std::wstring> targets;
  for (const auto& entry : archive.entries) {
    std::wstring target = TargetPath(folder, entry.path);
    if (target.empty()) return kDamaged;
    if (target.size() >= MAX_PATH) return kWriteFailed;  // checked before anything is written
    targets.push_back(std::move(target));
  }
  // Only the folder itself is examined, not the folders above it: a user's
  // temporary folder may well lie on a linked drive or folder.
  const std::wstring ownFolder = folder.size() > 3 ? folder.substr(0, folder.size() - 1) : folder;
  if (const ExitCode refused = CheckTargetFolder(ownFolder); refused != kUnpacked) return refused;
  struct Subfolder { const wchar_t* name; const char* prefix; };
  for (const Subfolder sub : {Subfolder{L"x86", "x86/"}, Subfolder{L"amd64", "amd64/"}}) {
    bool used = false;
    for (const auto& entry : archive.entries) used = used || entry.path.rfind(sub.prefix, 0) == 0;
    if (!used) continue;
    const std::wstring path = folder + sub.name;
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return kWriteFailed;
    // Created now or found, it must be a real folder before anything goes in.
    if (const ExitCode refused = CheckTargetFolder(path); refused != kUnpacked) return refused;
  }
  for (std::size_t i = 0; i < targets.size(); ++i)
    if (!WriteWholeFile(targets[i], archive.entries[i].data, archive.entries[i].size))
      return kWriteFailed;
  return kUnpacked;
}
