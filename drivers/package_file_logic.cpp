#include "drivers/package_file.h"

#include "drivers/driver_store.h"
#include "drivers/elevation.h"

namespace kq {

namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";

bool IsDriveRoot(std::wstring_view path) {
  const wchar_t letter = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
  return path.size() >= 3 && letter >= L'a' && letter <= L'z' && path[1] == L':' &&
         path[2] == L'\\';
}

// The length of "\\server\share\" at the start of `path` (after the two
// leading backslashes are `path`'s own), or 0 when it has no such root.
std::size_t ServerShareRootLength(std::wstring_view path) {
  const std::size_t server = path.find(L'\\');
  if (server == 0 || server == std::wstring_view::npos) return 0;
  const std::size_t share = path.find(L'\\', server + 1);
  if (share == server + 1 || share == std::wstring_view::npos) return 0;
  return share + 1;
}

// The length of `folder`'s root, backslash included, or 0 when it has none
// this code knows.
std::size_t RootLength(std::wstring_view folder) {
  std::size_t prefix = 0;
  if (folder.substr(0, kLongUncPrefix.size()) == kLongUncPrefix) {
    const std::size_t share = ServerShareRootLength(folder.substr(kLongUncPrefix.size()));
    return share ? kLongUncPrefix.size() + share : 0;
  }
  if (folder.substr(0, kLongPrefix.size()) == kLongPrefix) {
    prefix = kLongPrefix.size();
  } else if (folder.substr(0, 4) == L"\\\\.\\") {
    return 0;  // the device namespace
  } else if (folder.substr(0, 2) == L"\\\\") {
    const std::size_t share = ServerShareRootLength(folder.substr(2));
    return share ? 2 + share : 0;
  }
  return IsDriveRoot(folder.substr(prefix)) ? prefix + 3 : 0;
}

}  // namespace

// FRFX: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE. OWNER RIGHTS by its SID,
// which every SDDL reader takes, not by its later alias.
std::wstring PackageFileSddl(std::wstring_view userSid) {
  return SddlNamingUser(L"D:P(A;;FRFX;;;", userSid, L")(A;;FRFX;;;S-1-3-4)(A;;FA;;;SY)(A;;FA;;;BA)");
}

std::optional<std::wstring> ShellPathFromFinalPath(std::wstring_view finalPath) {
  // "\\?\UNC\..." starts with "\\?\" too, but never with a drive root.
  std::wstring path;
  if (finalPath.substr(0, kLongPrefix.size()) == kLongPrefix &&
      IsDriveRoot(finalPath.substr(kLongPrefix.size()))) {
    path = finalPath.substr(kLongPrefix.size());
  } else {
    return std::nullopt;
  }
  if (path.size() >= kPathBufferUnits) return std::nullopt;
  return path;
}

std::wstring FolderOfPath(std::wstring_view path) {
  const std::size_t last = path.rfind(L'\\');
  return std::wstring(path.substr(0, last == std::wstring_view::npos ? 0 : last));
}

std::optional<std::vector<std::wstring>> FolderAncestors(std::wstring_view folder) {
  const std::size_t root = RootLength(folder);
  if (!root) return std::nullopt;
  std::vector<std::wstring> ancestors;
  for (std::size_t start = root;;) {
    const std::size_t end = folder.find(L'\\', start);
    const std::wstring_view name =
        folder.substr(start, end == std::wstring_view::npos ? end : end - start);
    if (name.empty() || name == L"." || name == L"..") return std::nullopt;
    if (end == std::wstring_view::npos) return ancestors;
    ancestors.emplace_back(folder.substr(0, end));
    start = end + 1;
  }
}

bool AncestorsTrusted(std::wstring_view installFolder,
                      const std::function<PathKind(const std::wstring& path)>& look,
                      const AccessDenied& denied) {
  const auto ancestors = FolderAncestors(installFolder);
  if (!ancestors) return false;
  for (const auto& ancestor : *ancestors) {
    switch (look(ancestor)) {
      case PathKind::Folder:
        continue;
      case PathKind::Link:
        for (std::uint32_t right : kLinkChangeRights)
          if (!denied(ancestor, right)) return false;
        continue;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace kq
