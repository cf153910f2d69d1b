#include "osver/os_level.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kq {

namespace {

struct VersionTest {
  unsigned major, minor, servicePack;
};

// Index + 1 is the level that a passing test sets.
constexpr VersionTest kVersionTests[] = {
    {5, 1, 0}, {5, 1, 1}, {5, 1, 2}, {5, 1, 3},  // XP, SP1..SP3
    {6, 0, 0}, {6, 0, 1}, {6, 0, 2},             // Vista, SP1, SP2
    {6, 1, 0}, {6, 1, 1},                        // 7, SP1
    {6, 2, 0}, {6, 3, 0}, {10, 0, 0},            // 8, 8.1, 10
};
constexpr int kServerLevel = 13;

}  // namespace

int ClassifyOsLevel(bool (*atLeast)(unsigned, unsigned, unsigned), bool (*isServer)()) {
  int level = 0;
  // Every test runs, with no early exit: the highest passing one wins.
  for (int i = 0; i < static_cast<int>(sizeof kVersionTests / sizeof kVersionTests[0]); ++i) {
    const VersionTest& t = kVersionTests[i];
    if (atLeast(t.major, t.minor, t.servicePack)) level = i + 1;
  }
  if (isServer()) level = kServerLevel;
  return level;
}

#ifdef _WIN32

namespace {

// Same semantics as the platform SDK's versionhelpers.h functions.
bool IsWindowsVersionOrGreater(unsigned major, unsigned minor, unsigned servicePackMajor) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  info.dwMajorVersion = major;
  info.dwMinorVersion = minor;
  info.wServicePackMajor = static_cast<WORD>(servicePackMajor);
  DWORDLONG mask = 0;
  mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            mask) != FALSE;
}

bool IsWindowsServer() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  info.wProductType = VER_NT_WORKSTATION;
  const DWORDLONG mask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
  return VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask) == FALSE;
}

}  // namespace

int DetectOsLevel() { return ClassifyOsLevel(IsWindowsVersionOrGreater, IsWindowsServer); }

#endif

}  // namespace kq
