#include <gtest/gtest.h>

#include <windows.h>

#include "drivers/install_files.h"
#include "res/resource.h"
#include "tests/drivers_wintest_util.h"

namespace kq::test {


namespace {

// A shell would read these names: "&" ends a command, "%TEMP%" expands, "^"
// escapes, parentheses group. The file API takes them as plain characters.
TEST(InstallCleanUp, RemovesExactlyTheInstallFilesWhateverThePathHolds) {
  ScratchFolder parent(L"kq Jo & Ann 100%TEMP% ^x (y) \u00c4\u00f6\u00fc\u00f1\u20ac");
  const std::wstring& p = parent.path;
  const std::wstring install = p + L"\\QuorvantaKQ6kInstall";
  ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
  CreateDirectoryW((install + L"\\x86").c_str(), nullptr);
  CreateDirectoryW((install + L"\\amd64").c_str(), nullptr);
  for (const wchar_t* name : {L"\\drv.exe", L"\\cert.inf", L"\\timeToCleanUp.inf",
                              L"\\name with & and %PATH%.txt", L"\\x86\\libusb0.sys",
                              L"\\amd64\\libusbK.sys", L"\\amd64\\WdfCoInstaller01011.dll"})
    MakeFile(install + name);
  MakeFile(install + L"\\readonly.cer", FILE_ATTRIBUTE_READONLY);
  MakeFile(install + L"\\hidden.cat", FILE_ATTRIBUTE_HIDDEN);

  // Planted beside it: none of these may go.
  CreateDirectoryW((p + L"\\QuorvantaKQ6kInstall x").c_str(), nullptr);
  const std::wstring survivors[] = {p + L"\\keep.txt", p + L"\\QuorvantaKQ6kInstall.keep",
                                    p + L"\\QuorvantaKQ6kInstall x\\drv.exe", p + L"\\drv.exe"};
  for (const auto& s : survivors) MakeFile(s);

  RemoveInstallFolders(install);

  EXPECT_FALSE(Exists(install));
  for (const auto& s : survivors) EXPECT_TRUE(Exists(s));
}

TEST(InstallCleanUp, IsShallowAndKeepsAFolderThatIsNotEmpty) {
  ScratchFolder install(L"kq shallow");
  const std::wstring& f = install.path;
  CreateDirectoryW((f + L"\\deeper").c_str(), nullptr);
  MakeFile(f + L"\\deeper\\nested.txt");
  MakeFile(f + L"\\top.txt");

  RemoveFolder(f);

  EXPECT_FALSE(Exists(f + L"\\top.txt"));
  EXPECT_TRUE(Exists(f + L"\\deeper\\nested.txt"));
  EXPECT_TRUE(Exists(f));
  RemoveFolder(f + L"\\missing");  // nothing there: no harm, no hang
}

TEST(InstallFiles, FolderUnderTheUsersTemporaryFolder) {
  EXPECT_EQ(InstallFolder(), kq::test::TempPath() + L"QuorvantaKQ6kInstall");
}

// This test program carries no packages: exactly the case of a program whose
// package resource went missing. It must say so instead of yielding bytes.
TEST(InstallFiles, MissingPackageResourceYieldsNothing) {
  for (int id : {IDR_DRIVERS_X86, IDR_DRIVERS_X64}) {
    const PackageData package = LoadPackageResource(id);
    EXPECT_EQ(package.data, nullptr);
    EXPECT_EQ(package.size, 0u);
  }
}

}  // namespace

}  // namespace kq::test
