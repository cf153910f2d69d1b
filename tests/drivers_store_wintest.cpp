#include <gtest/gtest.h>

#include <windows.h>

#include "drivers/driver_store.h"
#include "osver/os_level.h"
#include "tests/drivers_wintest_util.h"

namespace kq::test {


namespace {

void MakeFolder(const std::wstring& path) { CreateDirectoryW(path.c_str(), nullptr); }

TEST(DriverStoreOnDisk, ProbeTakesTheSearchsEntryAndTestsItsCase) {
  ScratchFolder repository(L"kq store");
  const std::wstring& r = repository.path;
  MakeFolder(r + L"\\FTDIBUS.INF_x86_8a2c5b1e44d1a4f3");  // found by the search, wrong case
  MakeFolder(r + L"\\ftdiport.inf_x86_0e9a3c1d");
  MakeFolder(r + L"\\kq_6200_winkey.inf");               // no suffix at all
  MakeFolder(r + L"\\kq_6200_fsk.inf_x86_5d2f");

  EXPECT_FALSE(ProbeFile(r, L"\\ftdibus.inf_*"));
  EXPECT_TRUE(ProbeFile(r, L"\\ftdiport.inf_*"));
  EXPECT_TRUE(ProbeFile(r, L"\\kq_6200_winkey.inf*"));
  EXPECT_TRUE(ProbeFile(r, L"\\kq_6200_fsk.inf*"));
  EXPECT_EQ(CheckInstalledDrivers(r, false), DriverState::FtdiMissing);

  MakeFolder(r + L"\\ftdibus.inf_amd64_77");
  RemoveDirectoryW((r + L"\\FTDIBUS.INF_x86_8a2c5b1e44d1a4f3").c_str());
  EXPECT_EQ(CheckInstalledDrivers(r, false), DriverState::AllPresent);

  RemoveDirectoryW((r + L"\\kq_6200_fsk.inf_x86_5d2f").c_str());
  EXPECT_EQ(CheckInstalledDrivers(r, false), DriverState::DeviceDriversMissing);
}

TEST(DriverStoreOnDisk, MissingOrOverlongFoldersCountAsAbsent) {
  ScratchFolder folder(L"kq probe");
  kq::test::MakeFile(folder.path + L"\\drv.exe");
  EXPECT_TRUE(ProbeFile(folder.path, L"\\drv.exe"));
  EXPECT_FALSE(ProbeFile(folder.path + L"\\missing", L"\\drv.exe"));
  EXPECT_EQ(CheckInstalledDrivers(folder.path + L"\\missing", false), DriverState::FtdiMissing);
  EXPECT_EQ(CheckInstalledDrivers(L"", false), DriverState::FtdiMissing);
  const std::wstring overlong = folder.path + L"\\" + std::wstring(300, L'a');
  EXPECT_FALSE(ProbeFile(overlong, L"\\drv.exe"));
}

TEST(DriverStoreOnDisk, WaitForAPresentFileCostsNoWait) {
  ScratchFolder folder(L"kq wait");
  kq::test::MakeFile(folder.path + L"\\cert.inf");
  const DWORD start = GetTickCount();
  EXPECT_TRUE(WaitForFile(folder.path, L"\\cert.inf"));
  EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST(DriverStoreOnDisk, RepositoryFolderIsUnderTheSystemDirectory) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(RepositoryFolder(), std::wstring(system) + L"\\DriverStore\\FileRepository");
}

// The version-helper tests must agree with what the system says of itself.
TEST(OsLevelOnWindows, DetectAgreesWithTheReportedVersion) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
#pragma GCC diagnostic pop
  static OSVERSIONINFOEXW reported;
  reported = info;
  const int expected = ClassifyOsLevel(
      [](unsigned major, unsigned minor, unsigned sp) {
        if (reported.dwMajorVersion != major) return reported.dwMajorVersion > major;
        if (reported.dwMinorVersion != minor) return reported.dwMinorVersion > minor;
        return reported.wServicePackMajor >= sp;
      },
      [] { return reported.wProductType != VER_NT_WORKSTATION; });
  EXPECT_EQ(DetectOsLevel(), expected);
  EXPECT_GT(expected, 0);
}

}  // namespace

}  // namespace kq::test
