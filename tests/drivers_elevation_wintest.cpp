#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

#include "drivers/elevation_win.h"
#include "drivers/run_folder.h"
#include "tests/drivers_wintest_util.h"

namespace kq::test {

namespace {

constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1013";

void ExpectRunFolderDescriptor(const Granted& granted) {
  EXPECT_TRUE(granted.ownerIsAdministrators);
  EXPECT_TRUE(granted.protectedDacl);
  ASSERT_EQ(granted.allowed.size(), 3u);
  EXPECT_EQ(granted.allowed[0], (std::pair<std::wstring, ACCESS_MASK>{L"S-1-5-18", FILE_ALL_ACCESS}));
  EXPECT_EQ(granted.allowed[1],
            (std::pair<std::wstring, ACCESS_MASK>{L"S-1-5-32-544", FILE_ALL_ACCESS}));
  EXPECT_EQ(granted.allowed[2], (std::pair<std::wstring, ACCESS_MASK>{kUser, FILE_GENERIC_READ}));
  EXPECT_EQ(granted.allowed[2].second & kWrites, 0u);
  for (BYTE flags : granted.flags) EXPECT_EQ(flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
}

// The run folder's SDDL read by Windows itself: owner Administrators, a
// protected DACL with exactly SYSTEM and Administrators in full control and
// the user reading, inherited by everything below.
TEST(InstallRunFolder, WindowsReadsTheDescriptorAsMeant) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      RunFolderSddl(kUser).c_str(), SDDL_REVISION_1, &descriptor, nullptr));
  ExpectRunFolderDescriptor(Read(descriptor));
  LocalFree(descriptor);
}

// The folder the self-extractor makes carries that descriptor (Windows; Wine
// keeps a file's descriptor beside it only in its staging builds, and
// otherwise makes one up from the Unix mode bits it derived from it).
TEST(InstallRunFolder, AFolderMadeWithTheDescriptorKeepsIt) {
  const ScratchFolder temp(L"kq-run-folder");
  const std::wstring folder = temp.path + L"\\QuorvantaKQ6k-0123456789abcdef0123456789abcdef";
  ASSERT_TRUE(MakeRunFolder(folder, kUser));

  PSECURITY_DESCRIPTOR stored = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &stored),
            static_cast<DWORD>(ERROR_SUCCESS));
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(
      stored, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
      nullptr);
  const std::wstring storedSddl = text ? text : L"";
  LocalFree(text);
  const Granted granted = Read(stored);
  LocalFree(stored);
  if (RunningUnderWine() && !granted.protectedDacl)
    GTEST_SKIP() << "Wine did not keep the descriptor; it reads back as " << Narrow(storedSddl);
  ExpectRunFolderDescriptor(granted);
  EXPECT_TRUE(OwnedByAdministrators(folder));
}

// Nothing is taken over: a folder or file already there, or a SID of another
// shape, and the self-extractor makes nothing.
TEST(InstallRunFolder, MadeOnlyWhereNothingStandsAndForASid) {
  const ScratchFolder temp(L"kq-run-folder-refused");
  const std::wstring folder = temp.path + L"\\run";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  MakeFile(folder + L"\\planted.bat");
  EXPECT_FALSE(MakeRunFolder(folder, kUser));
  EXPECT_TRUE(Exists(folder + L"\\planted.bat"));
  // Made by a user: not an earlier run folder of an elevated side.
  EXPECT_FALSE(OwnedByAdministrators(folder));

  const std::wstring file = temp.path + L"\\file";
  MakeFile(file);
  EXPECT_FALSE(MakeRunFolder(file, kUser));

  const std::wstring other = temp.path + L"\\other";
  EXPECT_FALSE(MakeRunFolder(other, L"S-1-5-18)(A;OICI;FA;;;WD"));
  EXPECT_FALSE(MakeRunFolder(other, L""));
  EXPECT_FALSE(Exists(other));
}

// Removed with what the package put in it and in its subfolders; a folder
// beside the package's subfolders is no part of it and stops the removal.
TEST(InstallRunFolder, RemovedWithThePackagesFilesOnly) {
  const ScratchFolder temp(L"kq-run-folder-removed");
  const std::wstring folder = temp.path + L"\\run";
  ASSERT_TRUE(MakeRunFolder(folder, kUser));
  for (const wchar_t* sub : {L"\\x86", L"\\amd64"}) {
    ASSERT_TRUE(CreateDirectoryW((folder + sub).c_str(), nullptr));
    MakeFile(folder + sub + L"\\kq_6200_fsk.inf", FILE_ATTRIBUTE_READONLY);
  }
  MakeFile(folder + L"\\setup.bat");
  RemoveRunFolder(folder);
  EXPECT_FALSE(Exists(folder));

  ASSERT_TRUE(MakeRunFolder(folder, kUser));
  ASSERT_TRUE(CreateDirectoryW((folder + L"\\kept").c_str(), nullptr));
  MakeFile(folder + L"\\kept\\file");
  RemoveRunFolder(folder);
  EXPECT_TRUE(Exists(folder + L"\\kept\\file"));
}

}  // namespace

namespace {

// A mutex named as the elevated side's sign, with the descriptor `sddl`.
UniqueKernelHandle MakeSign(const std::wstring& sddl) {
  const UniqueDescriptor descriptor = DescriptorFromSddl(sddl.c_str());
  if (!descriptor) return {};
  SECURITY_ATTRIBUTES attributes = AttributesOf(descriptor);
  return UniqueKernelHandle(CreateMutexW(&attributes, TRUE, kScriptSignName));
}

}  // namespace

// A second program of the same user finds the first one's lock; the sign of
// an elevated side counts only when Administrators own it, so that a sign any
// user could make first blocks nobody.
TEST(InstallationLock, HeldByTheUsersProgramOrAnElevatedSideOnly) {
  {
    const auto first = TakeInstallationLock();
    ASSERT_TRUE(first);
    EXPECT_FALSE(TakeInstallationLock()) << "a second program of the user";
  }
  {
    const UniqueKernelHandle sign = MakeSign(kScriptSignSddl);
    ASSERT_TRUE(sign) << "only an elevated process may make Administrators an owner";
    EXPECT_FALSE(TakeInstallationLock()) << "an elevated side's sign";
  }
  {
    const UniqueKernelHandle sign = MakeSign(L"O:" + CurrentUserSid() + L"D:(A;;GA;;;WD)");
    ASSERT_TRUE(sign);
    EXPECT_TRUE(TakeInstallationLock()) << "a sign of the user's own making";
  }
  {
    const UniqueKernelHandle sign = MakeSign(L"O:" + CurrentUserSid() + L"D:(D;;GA;;;WD)");
    ASSERT_TRUE(sign);
    EXPECT_TRUE(TakeInstallationLock()) << "a sign that will not say who owns it";
  }
  EXPECT_TRUE(TakeInstallationLock()) << "with no lock at all";
}

}  // namespace kq::test
