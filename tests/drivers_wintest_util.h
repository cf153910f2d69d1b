// Scratch folders for the driver gate's Windows tests.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

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

inline bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// What a descriptor's owner and DACL say, as Windows reads them.
struct Granted {
  bool ownerIsAdministrators = false;
  bool protectedDacl = false;
  std::vector<std::pair<std::wstring, ACCESS_MASK>> allowed;  // SID text, mask
  std::vector<BYTE> flags;
};

inline std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring result(text);
  LocalFree(text);
  return result;
}

inline Granted Read(PSECURITY_DESCRIPTOR descriptor) {
  Granted granted;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner)
    granted.ownerIsAdministrators = IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  granted.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
    return granted;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      granted.allowed.push_back({L"not an allow entry", 0});
      continue;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    granted.allowed.push_back(
        {SidText(const_cast<DWORD*>(&allowed->SidStart)), allowed->Mask});
    granted.flags.push_back(header->AceFlags);
  }
  return granted;
}

inline constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                       FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                       WRITE_DAC | WRITE_OWNER;

}  // namespace kq::test
