// Another program of the same user, as it would attack an installation: from
// the moment the package appears in the user's install folder it tries, again
// and again, to put another package in its place: it maps a writable view of
// it and closes its handles (the view outlives them), rewrites it, renames it
// away, deletes it, moves a file over it and moves the whole folder away,
// each time writing the replacement where the package was. It stops at its
// first success, or when the stop file appears; a view it mapped it keeps,
// writing the replacement through it again and again until then.
//
//   kq_swapper.exe <install folder> <replacement> <log> <stop file>
//
// The log gets one line per success ("mapped a writable view", "rewrote",
// "renamed", "deleted", "replaced", "moved the folder") and at the end
// "tries N": the rounds made while the package was there.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/win_handles.h"

namespace {

std::vector<char> ReadAll(const std::wstring& path) {
  const kq::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  std::vector<char> data;
  if (!file) return data;
  data.resize(GetFileSize(file.get(), nullptr));
  DWORD got = 0;
  if (!ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &got, nullptr))
    data.clear();
  data.resize(got);
  return data;
}

bool WriteAll(HANDLE file, const std::vector<char>& data) {
  DWORD written = 0;
  return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
         written == data.size() && SetEndOfFile(file);
}

bool WriteNew(const std::wstring& path, const std::vector<char>& data) {
  const kq::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  return file && WriteAll(file.get(), data);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void Log(const std::wstring& log, const std::string& line) {
  const kq::UniqueFile file(CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  const std::string text = line + "\n";
  if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// A view of the package mapped for writing, kept after its handles end.
struct WritableView {
  void* data = nullptr;
  DWORD size = 0;
  void Write(const std::vector<char>& replacement) const {
    std::memcpy(data, replacement.data(), std::min<std::size_t>(size, replacement.size()));
  }
};

WritableView MapForWriting(const std::wstring& package) {
  const kq::UniqueFile file(CreateFileW(package.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
  const DWORD size = file ? GetFileSize(file.get(), nullptr) : 0;
  if (size == 0 || size == INVALID_FILE_SIZE) return {};
  const kq::UniqueKernelHandle mapping(
      CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
  return {mapping ? MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr, size};
}

// One round of every attack; the name of the one that worked, or nothing.
const char* Attack(const std::wstring& folder, const std::vector<char>& replacement,
                   WritableView& view) {
  const std::wstring package = folder + L"\\drv.exe";
  view = MapForWriting(package);
  if (view.data) {
    view.Write(replacement);
    return "mapped a writable view";
  }
  {
    const kq::UniqueFile file(CreateFileW(package.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (file && WriteAll(file.get(), replacement)) return "rewrote";
  }
  if (MoveFileExW(package.c_str(), (folder + L"\\drv.old").c_str(), MOVEFILE_REPLACE_EXISTING) &&
      WriteNew(package, replacement))
    return "renamed";
  if (DeleteFileW(package.c_str()) && WriteNew(package, replacement)) return "deleted";
  const std::wstring staged = folder + L".staged";
  if (WriteNew(staged, replacement) &&
      MoveFileExW(staged.c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING))
    return "replaced";
  DeleteFileW(staged.c_str());
  if (MoveFileExW(folder.c_str(), (folder + L".away").c_str(), 0) &&
      CreateDirectoryW(folder.c_str(), nullptr) && WriteNew(package, replacement))
    return "moved the folder";
  return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const std::wstring folder = argv[1];
  const std::vector<char> replacement = ReadAll(argv[2]);
  const std::wstring log = argv[3];
  const std::wstring stop = argv[4];
  if (replacement.empty()) return 3;
  unsigned tries = 0;
  const DWORD started = GetTickCount();
  WritableView view;
  const auto running = [&] { return !Exists(stop) && GetTickCount() - started < 120000; };
  while (running()) {
    if (Exists(folder + L"\\drv.exe")) {
      ++tries;
      if (const char* done = Attack(folder, replacement, view)) {
        Log(log, done);
        break;
      }
    }
    Sleep(2);
  }
  // Whatever the program reads or runs from now on, the view changes.
  for (; view.data && running(); Sleep(2)) view.Write(replacement);
  Log(log, "tries " + std::to_string(tries));
  return 0;
}
