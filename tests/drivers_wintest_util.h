// Scratch folders for the driver gate's Windows tests.
#pragma once

#include <windows.h>

#include <string>

namespace kq::test {

inline std::wstring TempPath() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, buffer);
  return std::wstring(buffer, n);
}

inline void MakeFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  DWORD written = 0;
  WriteFile(file, "x", 1, &written, nullptr);
  CloseHandle(file);
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

// A fresh folder under the temporary folder, removed with all it holds.
struct ScratchFolder {
  std::wstring path;
  explicit ScratchFolder(const std::wstring& name)
      : path(TempPath() + name + L" " + std::to_wstring(GetCurrentProcessId())) {
    RemoveTree(path);
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~ScratchFolder() { RemoveTree(path); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
};

}  // namespace kq::test
