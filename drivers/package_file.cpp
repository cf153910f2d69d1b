#include "drivers/package_file.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "drivers/driver_store.h"
#include "drivers/elevation_win.h"

namespace kq {

// NtCreateFile, the one call that makes a file by a name relative to a
// folder's handle; ntdll is in every process, and taken from there.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                              ULONG, ULONG, PVOID, ULONG);

UniqueFile CreatePackageFile(HANDLE folder, std::wstring_view name) {
  const std::wstring sddl = PackageFileSddl(CurrentUserSid());
  if (sddl.empty() || name.empty() || name.size() > 255 ||
      name.find_first_of(L"\\/:") != std::wstring_view::npos)
    return {};
  const UniqueDescriptor descriptor = DescriptorFromSddl(sddl.c_str());
  const auto create = reinterpret_cast<NtCreateFileFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
  if (!descriptor || !create) return {};
  std::wstring text(name);
  UNICODE_STRING unicode{static_cast<USHORT>(text.size() * sizeof(wchar_t)),
                         static_cast<USHORT>(text.size() * sizeof(wchar_t)), text.data()};
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, folder,
                             descriptor.get());
  IO_STATUS_BLOCK status{};
  HANDLE file = nullptr;
  const NTSTATUS result =
      create(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &status, nullptr,
             FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_CREATE,
             FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) return {};
  return UniqueFile(file);
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
