#include "drivers/elevation_win.h"

#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <vector>

namespace kq {

std::wstring CurrentUserSid() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
  const UniqueKernelHandle token(opened);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size ? size : 1);
  if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text))
    return {};
  std::wstring sid = text;
  LocalFree(text);
  return IsSidString(sid) ? sid : std::wstring();
}

std::optional<ElevatedRequest> NewElevatedRequest() {
  unsigned char random[16];
  if (!RtlGenRandom(random, sizeof random)) return std::nullopt;
  ElevatedRequest request{RunFolderName(random), CurrentUserSid()};
  if (request.userSid.empty()) return std::nullopt;
  return request;
}

std::wstring RunFolder(const std::wstring& name) {
  wchar_t windows[MAX_PATH];
  const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return RunFolderUnder(std::wstring_view(windows, n), name);
}

namespace {

// The sign of a running elevated side: there, and owned by Administrators or
// SYSTEM. A sign of anyone else's making, or one that will not say who owns
// it, is not one.
bool ElevatedSideRuns() {
  const UniqueKernelHandle sign(OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, kScriptSignName));
  if (!sign) return false;
  alignas(SECURITY_DESCRIPTOR) BYTE descriptor[256];
  DWORD needed = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return GetKernelObjectSecurity(sign.get(), OWNER_SECURITY_INFORMATION, descriptor,
                                 sizeof descriptor, &needed) &&
         GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
         IsAdministratorsOrSystem(owner);
}

}  // namespace

std::optional<UniqueKernelHandle> TakeInstallationLock() {
  const std::wstring name = ProgramLockName(CurrentUserSid());
  if (name.empty()) return std::nullopt;
  UniqueKernelHandle lock(CreateMutexW(nullptr, TRUE, name.c_str()));
  // Made by another program of this user, whose installation runs.
  if (!lock || GetLastError() == ERROR_ALREADY_EXISTS) return std::nullopt;
  if (ElevatedSideRuns()) return std::nullopt;
  return lock;
}

}  // namespace kq
