// The self-extractor's reading and checking of a driver package, on arbitrary
// bytes. A package it accepts must hold only safe, distinct paths and must
// read back to the very bytes of its archive when packed again, and its
// settings must give each value as the rest of its line; a package it rejects
// leaves the caller's view as it was. The same bytes, taken as an
// entry path, must be judged as the rules of sfx/FORMAT.md say.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "sfx/archive.h"

namespace kq::test {
namespace {

using namespace sfx;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "==== %s\n", what.c_str());
  std::abort();
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool sameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == upper(y); });
}

// FORMAT.md's rules for one name (printable ASCII, no 8.3 alias), read the
// way Windows reads a name: it
// strips trailing dots and blanks, and opens a device for a reserved base
// name whatever follows its first dot (blanks before that dot ignored).
bool formatAllowsName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E ||
        std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      return false;
  // An 8.3 alias: "~" and a digit before the last dot, or anywhere without one.
  const std::string_view beforeDot = name.substr(0, name.rfind('.'));
  for (size_t i = 0; i + 1 < beforeDot.size(); ++i)
    if (beforeDot[i] == '~' && beforeDot[i + 1] >= '0' && beforeDot[i + 1] <= '9') return false;
  std::string base(name.substr(0, name.find('.')));
  base.erase(base.find_last_not_of(' ') + 1);
  for (char& c : base) c = upper(c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (base == device) return false;
  for (const char* stem : {"COM", "LPT"})
    for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"})
      if (base == std::string(stem) + digit) return false;
  return true;
}

bool formatAllowsPath(std::string_view path) {
  if (path.empty() || path.size() > 200 || !isValidUtf8(path)) return false;
  const size_t slash = path.find('/');
  if (slash == std::string_view::npos)
    return formatAllowsName(path) && !sameNoCase(path, "x86") && !sameNoCase(path, "amd64");
  const std::string_view folder = path.substr(0, slash);
  return (folder == "x86" || folder == "amd64") && formatAllowsName(path.substr(slash + 1));
}

void checkAccepted(const unsigned char* data, size_t size, const ArchiveView& view) {
  const size_t bodySize = data[size - 12] | data[size - 11] << 8 | data[size - 10] << 16 |
                          static_cast<size_t>(data[size - 9]) << 24;
  const unsigned char* archive = data + (size - 12 - bodySize);
  std::vector<PackedFile> files;
  for (const EntryView& e : view.entries) {
    if (e.size > 0 && (e.data < archive || e.data + e.size > data + size - 12))
      fail("entry data outside the archive body: " + e.path);
    if (!formatAllowsPath(e.path)) fail("accepted a path the format forbids: " + e.path);
    files.push_back({e.path, std::vector<unsigned char>(e.data, e.data + e.size)});
  }
  std::vector<unsigned char> again;
  try {
    again = WriteArchive(view.settings, files);
  } catch (const std::invalid_argument& e) {
    fail(std::string("the packer refuses what the extractor accepted: ") + e.what());
  }
  if (again.size() != static_cast<size_t>(data + size - archive) || !std::equal(again.begin(), again.end(), archive))
    fail("the accepted archive does not pack again to the same bytes");
}

// The stub reads its caption with SettingValue: a value it finds must be the
// rest of a line "Key=value" of the settings, never text across a line end.
void checkSettings(const std::u16string& settings) {
  for (std::u16string_view key : {u"Title", u"Setup"}) {
    const std::u16string value = SettingValue(settings, key);
    if (value.empty()) continue;
    const std::u16string line = std::u16string(key) + u"=" + value;
    const std::u16string framed = u"\r\n" + settings + u"\r\n";
    if (value.find(u"\r\n") != std::u16string::npos || framed.find(u"\r\n" + line + u"\r\n") == std::u16string::npos)
      fail("a setting's value is no line of the settings");
  }
}

// A path the reader takes must go through the packer and back unchanged; one
// it refuses, the packer must refuse too.
void checkPath(const std::string& path) {
  const bool safe = IsSafeEntryPath(path);
  if (safe != formatAllowsPath(path)) fail(std::string("path judged ") + (safe ? "safe" : "unsafe") + " against the format: " + path);
  std::vector<unsigned char> package;
  try {
    package = WriteArchive(u"", {{path, {1, 2, 3}}});
  } catch (const std::invalid_argument&) {
    if (safe) fail("the packer refuses a safe path: " + path);
    return;
  }
  if (!safe) fail("the packer takes an unsafe path: " + path);
  ArchiveView view;
  if (ReadArchive(package.data(), package.size(), view) != ArchiveError::None || view.entries.size() != 1 ||
      view.entries[0].path != path)
    fail("a safe path does not read back: " + path);
}

}  // namespace
}  // namespace kq::test

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kq::sfx;
  using namespace kq::test;
  ArchiveView view;
  view.settings = u"untouched";
  const ArchiveError error = ReadArchive(data, size, view);
  if (error == ArchiveError::None) {
    checkAccepted(data, size, view);
    checkSettings(view.settings);
  }
  else if (view.settings != u"untouched" || !view.entries.empty())
    fail(std::string("a rejected package changed the view: ") + ArchiveErrorText(error));
  if (size <= 256) checkPath(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
