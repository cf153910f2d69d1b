#include "drivers/package_file.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "drivers/driver_store.h"
#include "drivers/elevation_win.h"

namespace kq {

UniqueFile CreatePackageFile(const std::wstring& path) {
  const std::wstring sddl = PackageFileSddl(CurrentUserSid());
  if (sddl.empty()) return {};
  const UniqueDescriptor descriptor = DescriptorFromSddl(sddl.c_str());
  if (!descriptor) return {};
  SECURITY_ATTRIBUTES attributes = AttributesOf(descriptor);
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool HoldsExactly(HANDLE file, const PackageData& package) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart != package.size) return false;
  const LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  const auto* expected = static_cast<const unsigned char*>(package.data);
  unsigned char chunk[65536];
  for (unsigned long done = 0; done < package.size;) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<unsigned long>(sizeof chunk, package.size - done));
    if (!ReadFile(file, chunk, want, &got, nullptr) || got != want ||
        std::memcmp(chunk, expected + done, got) != 0)
      return false;
    done += got;
  }
  return true;
}

UniqueFile HoldWritten(UniqueFile writing, const PackageData& package) {
  UniqueFile bridge(ReOpenFile(writing.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  writing.reset();
  UniqueFile held(bridge ? ReOpenFile(bridge.get(), GENERIC_READ, FILE_SHARE_READ, 0)
                         : INVALID_HANDLE_VALUE);
  bridge.reset();
  if (!held || !HoldsExactly(held.get(), package)) return {};
  return held;
}

std::wstring HeldFilePath(HANDLE held) {
  wchar_t path[kPathBufferUnits + 8];
  const DWORD n = GetFinalPathNameByHandleW(held, path, static_cast<DWORD>(std::size(path)),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= std::size(path)) return {};
  return ShellPathFromFinalPath(std::wstring_view(path, n)).value_or(std::wstring());
}

namespace {

// Opened as the link itself, shared for everything, so that the look
// disturbs no one.
bool LinkAccessDenied(const std::wstring& path, std::uint32_t access) {
  const UniqueFile link(CreateFileW(path.c_str(), access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  return !link && GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

bool InstallFolderAncestorsTrusted(const std::wstring& installFolder) {
  return AncestorsTrusted(
      installFolder, [](const std::wstring& path) { return LookAtPath(path.c_str()); },
      LinkAccessDenied);
}

}  // namespace kq
