// Development stand-in for the outside tools a driver package uses.
//
// In a development package it is "certmgr.exe", "devcon.exe", "devcon64.exe"
// and "install-filter.exe": it does nothing and succeeds, so that the
// package's script runs through.
//
// Copied as "pnputil.exe" into a test system's System32 it plays the driver
// store tool: "pnputil -a NAME.inf" creates the store folder
// "DriverStore\FileRepository\name.inf_x86_0standin" at once and notes the
// call in "pnputil-standin.log" in System32. A file "pnputil-standin.refuse"
// in System32 plays a user who declines Windows' prompt: holding a number N, the
// first N additions of each INF fail; holding INF names, every addition of
// those fails; empty, every addition fails. A file "devcon-standin.hang" in
// System32 makes "devcon.exe"/"devcon64.exe" hang instead of returning; holding
// a number N, each call takes N milliseconds instead. A file
// "devcon-standin.hold" makes them wait until it is gone.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring OwnPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n < MAX_PATH ? n : 0);
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

std::wstring WindowsFolder() {
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows, n < MAX_PATH ? n : 0);
}
std::wstring SystemFolder() { return WindowsFolder() + L"\\System32"; }

void AddToStore(const wchar_t* system, const std::wstring& inf) {
  std::wstring folder = WindowsFolder();
  for (const wchar_t* part : {system, L"\\DriverStore", L"\\FileRepository"}) {
    folder += part;
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  CreateDirectoryW((folder + L"\\" + inf + L"_x86_0standin").c_str(), nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Under WOW64 a 32-bit process sees SysWOW64 as System32, even for its own
  // folder; switch that off for the whole run (it fails, harmlessly, elsewhere).
  PVOID redirection = nullptr;
  const bool wow64 = Wow64DisableWow64FsRedirection(&redirection);
  const std::wstring self = OwnPath();
  const std::wstring name = Lower(self.substr(self.find_last_of(L'\\') + 1));
  // Found through Sysnative, the program's own folder is no real folder once
  // redirection is off: keep the test's files in System32 itself.
  const std::wstring folder = SystemFolder() + L"\\";
  if (name == L"pnputil.exe" && argc == 3 && Lower(argv[1]) == L"-a") {
    const std::wstring inf = Lower(argv[2]);
    int calls = 0;
    if (FILE* log = _wfopen((folder + L"pnputil-standin.log").c_str(), L"a+")) {
      std::rewind(log);
      wchar_t line[MAX_PATH];
      while (std::fgetws(line, MAX_PATH, log))
        if (std::wstring(line) == inf + L"\n") ++calls;
      std::fputws((inf + L"\n").c_str(), log);
      std::fclose(log);
    }
    ++calls;
    if (FILE* refuse = _wfopen((folder + L"pnputil-standin.refuse").c_str(), L"r")) {
      bool declined = true;
      wchar_t word[MAX_PATH];
      for (bool first = true; std::fwscanf(refuse, L"%259ls", word) == 1; first = false) {
        wchar_t* end = nullptr;
        const long count = std::wcstol(word, &end, 10);
        if (first && *end == L'\0') {
          declined = calls <= count;
          break;
        }
        declined = first ? Lower(word) == inf : declined || Lower(word) == inf;
      }
      std::fclose(refuse);
      if (declined) return 1;
    }
    // The checking shell may be a 32-bit one, which looks in SysWOW64.
    AddToStore(L"\\System32", inf);
    if (wow64) AddToStore(L"\\SysWOW64", inf);
    std::fwprintf(stderr, L"%ls: added %ls (stand-in)\n", name.c_str(), argv[2]);
    return 0;
  }
  // A file "devcon-standin.hang" in System32 makes the device console hang,
  // as a script that never reaches its end, or, holding a number of
  // milliseconds, take that long, as a slow one.
  // A "devcon-standin.hold" holds the script between its last step marker and
  // its end, while a test changes what the installation will clean up.
  if (name == L"devcon.exe" || name == L"devcon64.exe") {
    if (FILE* hang = _wfopen((folder + L"devcon-standin.hang").c_str(), L"r")) {
      unsigned long ms = INFINITE;
      if (std::fwscanf(hang, L"%lu", &ms) != 1) ms = INFINITE;
      std::fclose(hang);
      Sleep(ms);
    }
    while (GetFileAttributesW((folder + L"devcon-standin.hold").c_str()) != INVALID_FILE_ATTRIBUTES)
      Sleep(50);
  }
  std::fwprintf(stderr, L"%ls: development stand-in, nothing done (%d arguments)\n", name.c_str(),
                argc - 1);
  return 0;
}
