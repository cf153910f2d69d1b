#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <string>

#include "base/system_dlls.h"

namespace kq::test {

namespace {

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// Where Windows has no SetDefaultDllDirectories (Vista, and 7 without its
// update), every DLL that is loaded by name later is loaded now from
// System32 by its full path, so that a later load by name takes that one.
TEST(SystemDlls, WithoutSetDefaultDllDirectoriesEachIsLoadedFromSystem32) {
  LoadDllsFromSystemOnly(nullptr);
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  int loaded = 0;
  for (const wchar_t* name : kDllsLoadedByName) {
    const std::wstring path = std::wstring(system, length) + L"\\" + name;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;  // not here
    const HMODULE module = GetModuleHandleW(name);
    ASSERT_NE(module, nullptr) << "not loaded: " << std::string(path.begin(), path.end());
    wchar_t file[MAX_PATH];
    const DWORD n = GetModuleFileNameW(module, file, MAX_PATH);
    EXPECT_EQ(Lower(std::wstring(file, n)), Lower(path));
    ++loaded;
  }
  EXPECT_GE(loaded, 5) << "too few of the DLLs are in this system's folder to tell";
}

}  // namespace

}  // namespace kq::test
