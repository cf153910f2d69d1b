// Emptying a folder of its files, for the program's install folders and the
// self-extractor's run folder alike. Windows only.
#pragma once

#include <string>

namespace kq {

// Deletes the files directly in `folder` through the file API, so no shell
// ever parses the path: names first, deletions after, so that the search is
// not disturbed by its own work. Like "del /F", a read-only file goes too; a
// link among them is deleted as a link, its target never touched. Subfolders
// and what they hold are left alone.
void DeleteFilesIn(const std::wstring& folder);

}  // namespace kq
