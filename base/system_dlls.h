// Every DLL a program of ours loads by name comes from System32. Windows looks
// for a DLL that is not one of its "known DLLs" (cfgmgr32, comctl32, uxtheme,
// version, ...) in the program's own folder first, and the programs are run
// from download folders, where anything may lie beside them. So each program
// imports only known DLLs at load time, delay-loads the others, and calls
// LoadDllsFromSystemOnly first thing, before any of those is loaded.
#pragma once

#include <windows.h>

#include <string>

namespace kq {

// DLLs that our programs delay-load, or that system components load by name
// on Windows Vista and 7, which then look in the program's folder first.
inline constexpr const wchar_t* kDllsLoadedByName[] = {
    L"cfgmgr32.dll", L"comctl32.dll", L"uxtheme.dll", L"dwmapi.dll",  L"cryptbase.dll",
    L"version.dll",  L"userenv.dll",  L"profapi.dll", L"propsys.dll", L"apphelp.dll",
    L"ntmarta.dll",  L"setupapi.dll", L"sspicli.dll", L"oleacc.dll",  L"clbcatq.dll",
};

// Where later loads by name look: System32 alone where Windows offers that
// (SetDefaultDllDirectories, Windows 8 and Vista/7 with update KB2533623).
// Elsewhere each DLL above is loaded now by its full System32 path: Windows
// takes an already loaded module for any later load of the same name, so the
// program's folder is never searched for them. Neither way needs anything
// the oldest supported Windows lacks. The current folder leaves the search
// in every case.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// The same with the system's SetDefaultDllDirectories given, null where it
// has none (a test forces the fallback so).
inline void LoadDllsFromSystemOnly(SetDefaultDllDirectoriesFunction setDefault) {
  SetDllDirectoryW(L"");
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  for (const wchar_t* name : kDllsLoadedByName) {
    const std::wstring path = std::wstring(system, length) + L"\\" + name;
    // Their own dependencies are then looked for beside them, in System32.
    LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
}

inline void LoadDllsFromSystemOnly() {
  LoadDllsFromSystemOnly(reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))));
}

}  // namespace kq
