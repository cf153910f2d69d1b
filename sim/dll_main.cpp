// Entry point of the simulated cfgmgr32.dll: finds the .devtree file, loads it
// on the first call and reloads it whenever it changes, so that a test can
// replace the device tree under a running program.
#include <windows.h>

#include <string>

#include "base/utf8.h"
#include "memcm/memcm.h"
#include "sim/sim_control.h"

namespace {

HMODULE g_module = nullptr;

struct TreeFile {
  bool located = false;
  std::wstring path;
  DWORD lastLook = 0;
  bool looked = false;
  bool haveVersion = false;     // `seen` describes a version already read
  BY_HANDLE_FILE_INFORMATION seen{};  // last-write time and size of the version last read
};
TreeFile g_tree;

void report(const std::string& message) {
  const std::string line = "cfgmgr32 (simulated): " + message + "\n";
  OutputDebugStringA(line.c_str());
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (err && err != INVALID_HANDLE_VALUE) WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// KQSIM_DEVTREE names the file; a Unix path is turned into the DOS path Wine
// maps it to (Wine would otherwise read "/tmp/x" as "C:\tmp\x"). Without the
// variable the file is cfgmgr32.devtree beside this DLL.
std::wstring locateTreeFile() {
  std::wstring value(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"KQSIM_DEVTREE", &value[0], static_cast<DWORD>(value.size()));
  if (length > 0 && length < value.size()) {
    value.resize(length);
    if (value[0] != L'/') return value;
    using ToDosName = WCHAR*(CDECL*)(const char*);
    const auto toDos = reinterpret_cast<ToDosName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDos) return value;  // not under Wine: a root-relative Windows path
    WCHAR* dos = toDos(kq::encodeUtf8(value).c_str());
    if (!dos) return value;
    std::wstring path(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
  }
  std::wstring module(32768, L'\0');
  const DWORD size = GetModuleFileNameW(g_module, &module[0], static_cast<DWORD>(module.size()));
  module.resize(size);
  return module.substr(0, module.find_last_of(L"\\/") + 1) + L"cfgmgr32.devtree";
}

bool sameVersion(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0 && a.nFileSizeHigh == b.nFileSizeHigh &&
         a.nFileSizeLow == b.nFileSizeLow;
}

// Runs before every CM_* call. Looks at the file at most every 100 ms; the
// time and size are taken from the handle that is read, so they describe the
// very content loaded even while a writer renames a new version into place.
void checkTreeFile() {
  const DWORD now = GetTickCount();
  if (g_tree.looked && now - g_tree.lastLook < 100) return;
  g_tree.looked = true;
  g_tree.lastLook = now;
  if (!g_tree.located) {
    g_tree.path = locateTreeFile();
    g_tree.located = true;
  }
  const HANDLE file = CreateFileW(g_tree.path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && g_tree.haveVersion) {
      kq::memcm::clearTree();  // no file: no devices
      g_tree.haveVersion = false;
    }
    return;  // anything else (a writer holding it locked): try again later
  }
  BY_HANDLE_FILE_INFORMATION info{};
  std::string text;
  bool read = GetFileInformationByHandle(file, &info) && info.nFileSizeHigh == 0;
  if (read && !(g_tree.haveVersion && sameVersion(info, g_tree.seen))) {
    text.resize(info.nFileSizeLow);
    DWORD got = 0;
    read = text.empty() || (ReadFile(file, &text[0], info.nFileSizeLow, &got, nullptr) && got == info.nFileSizeLow);
    if (read) {
      std::string error;
      if (!kq::sim::loadTreeText(text, kq::encodeUtf8(g_tree.path), &error)) report(error);  // the previous tree stays
      g_tree.seen = info;  // a faulty version is reported once, not on every look
      g_tree.haveVersion = true;
    }
  }
  CloseHandle(file);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
    kq::sim::setBeforeCallHook(&checkTreeFile);
  }
  return TRUE;
}
