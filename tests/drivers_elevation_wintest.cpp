#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

#include "drivers/elevation.h"
#include "tests/drivers_wintest_util.h"

namespace kq::test {

namespace {

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1013";

// What a descriptor's owner and DACL say, as Windows reads them.
struct Granted {
  bool ownerIsAdministrators = false;
  bool protectedDacl = false;
  std::vector<std::pair<std::wstring, ACCESS_MASK>> allowed;  // SID text, mask
  std::vector<BYTE> flags;
};

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring result(text);
  LocalFree(text);
  return result;
}

Granted Read(PSECURITY_DESCRIPTOR descriptor) {
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

constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                WRITE_OWNER;

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

// Made with that descriptor, a folder carries it (Windows, and Wine, which
// keeps a file's descriptor beside it but does not check access against it).
TEST(InstallRunFolder, AFolderMadeWithTheDescriptorKeepsIt) {
  const std::wstring folder = TempPath() + L"kq-run-folder-test";
  RemoveTree(folder);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      RunFolderSddl(kUser).c_str(), SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), &attributes));
  // Refused when it exists: a folder is never taken over.
  EXPECT_FALSE(CreateDirectoryW(folder.c_str(), &attributes));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  LocalFree(descriptor);

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
  RemoveTree(folder);
  // Wine 8 keeps a file's descriptor only where the file system takes
  // extended attributes, and otherwise makes one up from the Unix mode bits.
  if (RunningUnderWine() && !granted.protectedDacl)
    GTEST_SKIP() << "Wine did not keep the descriptor; it reads back as " << Narrow(storedSddl);
  ExpectRunFolderDescriptor(granted);
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
