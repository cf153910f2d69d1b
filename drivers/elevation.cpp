#include "drivers/elevation.h"

#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <vector>

namespace kq {

std::optional<ElevatedRequest> NewElevatedRequest() {
  unsigned char random[16];
  if (!RtlGenRandom(random, sizeof random)) return std::nullopt;

  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return std::nullopt;
  const UniqueKernelHandle token(opened);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size ? size : 1);
  if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return std::nullopt;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text))
    return std::nullopt;
  ElevatedRequest request{RunFolderName(random), text};
  LocalFree(text);
  if (!IsSidString(request.userSid)) return std::nullopt;
  return request;
}

std::wstring RunFolder(const std::wstring& name) {
  wchar_t windows[MAX_PATH];
  const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return RunFolderUnder(std::wstring_view(windows, n), name);
}

std::optional<UniqueKernelHandle> TakeInstallationLock() {
  UniqueKernelHandle lock(CreateMutexW(nullptr, TRUE, kProgramLockName));
  // Made by another program (an elevated one included, whose lock this
  // process may not even open): that program's installation runs.
  if (!lock || GetLastError() == ERROR_ALREADY_EXISTS) return std::nullopt;
  const UniqueKernelHandle script(OpenMutexW(SYNCHRONIZE, FALSE, kScriptLockName));
  if (script || GetLastError() != ERROR_FILE_NOT_FOUND) return std::nullopt;
  return lock;
}

}  // namespace kq
