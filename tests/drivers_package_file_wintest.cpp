#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <utility>
#include <vector>

#include "drivers/elevation_win.h"
#include "drivers/package_file.h"
#include "tests/drivers_wintest_util.h"

namespace kq::test {

namespace {

// Larger than one read of the read-back, so that a change past its first
// chunk is looked for too.
std::vector<unsigned char> Package() {
  std::vector<unsigned char> bytes(200000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  return bytes;
}

// A folder held as the installation holds its install folder.
UniqueFile HoldFolder(const std::wstring& path) {
  return UniqueFile(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The package file made as the installation makes it, as `name` in `folder`,
// with `bytes` written through its writing handle in place of the package;
// then held.
UniqueFile WriteAndHold(const std::wstring& folder, const std::wstring& name,
                        const std::vector<unsigned char>& bytes,
                        const std::vector<unsigned char>& package) {
  const UniqueFile held = HoldFolder(folder);
  UniqueFile writing = CreatePackageFile(held.get(), name);
  DWORD written = 0;
  if (!writing ||
      !WriteFile(writing.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    return {};
  return HoldWritten(std::move(writing), {package.data(), static_cast<unsigned long>(package.size())});
}

bool OpensForWriting(const std::wstring& path) {
  return static_cast<bool>(UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                  nullptr, OPEN_EXISTING, 0, nullptr)));
}

// What lies on disk when the file is held must be the package, byte for
// byte: a file of the same size with another byte (as a writable view mapped
// by another process before the descriptor was in force would leave it),
// or one a byte short or long, is refused. The package itself is held, and
// then no one may write it.
TEST(PackageFile, TheReadBackHoldsOnlyThePackageItself) {
  const ScratchFolder folder(L"kq-package-file");
  const std::vector<unsigned char> package = Package();
  std::vector<unsigned char> changed = package;
  changed[150000] ^= 0x40;
  std::vector<unsigned char> shorter(package.begin(), package.end() - 1), longer = package;
  longer.push_back(0);
  int n = 0;
  for (const auto* other : {&changed, &shorter, &longer}) {
    const std::wstring name = L"other" + std::to_wstring(n++) + L".exe";
    EXPECT_FALSE(WriteAndHold(folder.path, name, *other, package)) << "case " << n;
    EXPECT_TRUE(Exists(folder.path + L"\\" + name));
  }

  const std::wstring path = folder.path + L"\\drv.exe";
  const UniqueFile held = WriteAndHold(folder.path, L"drv.exe", package, package);
  ASSERT_TRUE(held);
  EXPECT_EQ(HeldFilePath(held.get()), path);
  EXPECT_FALSE(OpensForWriting(path));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L".old").c_str(), 0));
  EXPECT_FALSE(CreatePackageFile(HoldFolder(folder.path).get(), L"drv.exe")) << "made only new";
  // A name, never a path: nothing is made beside or above the folder.
  for (const wchar_t* name : {L"..\\up.exe", L"sub\\drv.exe", L"C:drv.exe", L""})
    EXPECT_FALSE(CreatePackageFile(HoldFolder(folder.path).get(), name)) << name;
}

// The descriptor the package file is made with, as Windows reads it: a
// protected DACL, the user and OWNER RIGHTS reading and executing only,
// SYSTEM and Administrators in full control, nothing inherited further.
TEST(PackageFileDescriptor, WindowsReadsItAsMeant) {
  const std::wstring user = CurrentUserSid();
  const UniqueDescriptor descriptor = DescriptorFromSddl(PackageFileSddl(user).c_str());
  ASSERT_TRUE(descriptor);
  const Granted granted = Read(descriptor.get());
  EXPECT_TRUE(granted.protectedDacl);
  using Entry = std::pair<std::wstring, ACCESS_MASK>;
  const ACCESS_MASK readExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
  EXPECT_EQ(granted.allowed, (std::vector<Entry>{{user, readExecute},
                                                 {L"S-1-3-4", readExecute},
                                                 {L"S-1-5-18", FILE_ALL_ACCESS},
                                                 {L"S-1-5-32-544", FILE_ALL_ACCESS}}));
  EXPECT_EQ(readExecute & kWrites, 0u);
  EXPECT_EQ(granted.flags, std::vector<BYTE>(4, 0));
}

bool InAdministrators() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

// Once the writing handle has ended, no handle of the user's may write the
// file, change its descriptor or owner, or its attributes: its owner is
// bound by OWNER RIGHTS. Only a process outside Administrators, whom the
// descriptor grants everything, can tell.
TEST(PackageFileDescriptor, TheFileKeepsItAndNoHandleOfTheUserMayWriteIt) {
  if (InAdministrators())
    GTEST_SKIP() << "this process is in Administrators, to whom the package file is granted "
                    "full control"
                 << (RunningUnderWine() ? " (Wine runs every process so)" : "");
  const ScratchFolder folder(L"kq-package-file-descriptor");
  const std::wstring path = folder.path + L"\\drv.exe";
  const std::vector<unsigned char> package = Package();
  ASSERT_TRUE(WriteAndHold(folder.path, L"drv.exe", package, package));

  PSECURITY_DESCRIPTOR stored = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, nullptr, nullptr, &stored),
            static_cast<DWORD>(ERROR_SUCCESS));
  const Granted granted = Read(stored);
  LocalFree(stored);
  EXPECT_TRUE(granted.protectedDacl);
  EXPECT_EQ(granted.allowed.size(), 4u);

  for (ACCESS_MASK access : {ACCESS_MASK{GENERIC_WRITE}, ACCESS_MASK{FILE_WRITE_DATA},
                             ACCESS_MASK{FILE_APPEND_DATA}, ACCESS_MASK{FILE_WRITE_ATTRIBUTES},
                             ACCESS_MASK{FILE_WRITE_EA}, ACCESS_MASK{WRITE_DAC},
                             ACCESS_MASK{WRITE_OWNER}}) {
    const UniqueFile file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD error = file ? ERROR_SUCCESS : GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << access;
  }
  EXPECT_TRUE(UniqueFile(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
}

}  // namespace

}  // namespace kq::test
