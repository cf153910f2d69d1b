#include "drivers/folder_files.h"

#include <windows.h>

#include <vector>

#include "base/win_handles.h"

namespace kq {

void DeleteFilesIn(const std::wstring& folder) {
  struct Found { std::wstring name; DWORD attributes; };
  std::vector<Found> files;
  WIN32_FIND_DATAW entry;
  {
    const UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (search) {
      do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
          files.push_back({entry.cFileName, entry.dwFileAttributes});
      } while (FindNextFileW(search.get(), &entry));
    }
  }
  for (const auto& found : files) {
    const std::wstring file = folder + L"\\" + found.name;
    if ((found.attributes & FILE_ATTRIBUTE_READONLY) && !(found.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      SetFileAttributesW(file.c_str(), found.attributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileW(file.c_str());
  }
}

}  // namespace kq
