// What stands at a path, told from its attributes. The installation and the
// self-extractor write and delete only in real folders: a junction or symbolic
// link planted where one of their folders belongs would carry the writes and
// the deletions wherever it points.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kq {

enum class PathKind {
  Absent,      // nothing there
  Folder,      // a folder that is no link
  File,        // a file that is no link
  Link,        // a reparse point (junction, symbolic link, mount point), whatever it points to
  Unreadable,  // there may be something, but its attributes could not be read
};

// The Windows values, restated so that the host build can use them.
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFF;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;

// `attributes` as GetFileAttributesW returns them (which are the link's own,
// never its target's), `lastError` what GetLastError said when they were
// kInvalidFileAttributes. A junction carries the folder attribute as well:
// the reparse attribute decides first.
constexpr PathKind KindOfPath(std::uint32_t attributes, std::uint32_t lastError) {
  if (attributes == kInvalidFileAttributes)
    return lastError == kErrorFileNotFound || lastError == kErrorPathNotFound ? PathKind::Absent
                                                                               : PathKind::Unreadable;
  if (attributes & kAttributeReparsePoint) return PathKind::Link;
  return attributes & kAttributeDirectory ? PathKind::Folder : PathKind::File;
}

#ifdef _WIN32
inline PathKind LookAtPath(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return KindOfPath(attributes, attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0);
}
#endif

}  // namespace kq
