#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drivers/package_file.h"

namespace kq::test {

namespace {

using Paths = std::vector<std::wstring>;

TEST(PackageFileSddl, TheUserAndItsOwnerRightsReadAndExecuteOnly) {
  EXPECT_EQ(PackageFileSddl(L"S-1-5-21-1-2-3-1001"),
            L"D:P(A;;FRFX;;;S-1-5-21-1-2-3-1001)(A;;FRFX;;;S-1-3-4)(A;;FA;;;SY)(A;;FA;;;BA)");
  // Nothing of another shape reaches the descriptor's text.
  EXPECT_EQ(PackageFileSddl(L"S-1-5-18)(A;;FA;;;WD"), L"");
  EXPECT_EQ(PackageFileSddl(L""), L"");
}

// A share is refused: its server decides sharing and descriptors, so that
// nothing here would pin the package that is elevated.
TEST(ShellPathFromFinalPath, LocalDriveFormOnlyWithinAPathBuffer) {
  EXPECT_EQ(ShellPathFromFinalPath(L"\\\\?\\C:\\Users\\Jo\\drv.exe"), L"C:\\Users\\Jo\\drv.exe");
  for (const wchar_t* refused :
       {L"\\\\?\\UNC\\server\\share\\t\\drv.exe", L"\\\\?\\UNC\\C:\\t\\drv.exe"})
    EXPECT_EQ(ShellPathFromFinalPath(refused), std::nullopt) << std::wstring(refused);
  for (const wchar_t* refused :
       {L"\\\\?\\Volume{3c1ab2e1-0000-0000-0000-100000000000}\\t\\drv.exe",
        L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\drv.exe", L"C:\\Users\\drv.exe",
        L"\\\\server\\share\\drv.exe", L"\\\\?\\C:drv.exe", L"\\\\?\\UNC\\server", L""})
    EXPECT_EQ(ShellPathFromFinalPath(refused), std::nullopt) << std::wstring(refused).size();
  const std::wstring fits = L"C:\\" + std::wstring(256, L'a');  // 259 units and the terminator
  EXPECT_EQ(ShellPathFromFinalPath(L"\\\\?\\" + fits), fits);
  EXPECT_EQ(ShellPathFromFinalPath(L"\\\\?\\" + fits + L"a"), std::nullopt);
  EXPECT_EQ(FolderOfPath(L"\\\\server\\share\\t\\drv.exe"), L"\\\\server\\share\\t");
}

TEST(FolderAncestors, EveryFolderBetweenTheRootAndTheFolder) {
  EXPECT_EQ(FolderAncestors(L"C:\\Users\\Jo Ann\\Temp\\QuorvantaKQ6kInstall"),
            (Paths{L"C:\\Users", L"C:\\Users\\Jo Ann", L"C:\\Users\\Jo Ann\\Temp"}));
  EXPECT_EQ(FolderAncestors(L"d:\\QuorvantaKQ6kInstall"), Paths{});
  EXPECT_EQ(FolderAncestors(L"\\\\srv\\share\\t\\Q"), Paths{L"\\\\srv\\share\\t"});
  EXPECT_EQ(FolderAncestors(L"\\\\?\\C:\\t\\Q"), Paths{L"\\\\?\\C:\\t"});
  EXPECT_EQ(FolderAncestors(L"\\\\?\\UNC\\srv\\share\\t\\Q"), Paths{L"\\\\?\\UNC\\srv\\share\\t"});
  // Forms whose ancestors cannot be told from the text.
  for (const wchar_t* refused :
       {L"Temp\\Q", L"\\Temp\\Q", L"C:Temp\\Q", L"C:\\", L"C:\\a\\..\\b\\Q", L"C:\\a\\.\\Q",
        L"C:\\a\\\\Q", L"C:\\a\\Q\\", L"\\\\srv\\Q", L"\\\\.\\C:\\t\\Q",
        L"\\\\?\\Volume{0}\\t\\Q", L""})
    EXPECT_EQ(FolderAncestors(refused), std::nullopt) << std::wstring(refused).size();
}

const std::wstring kFolder = L"C:\\Users\\Jo\\Temp\\QuorvantaKQ6kInstall";
constexpr std::uint32_t kDelete = 0x10000;

using Kinds = std::map<std::wstring, PathKind>;
using Rights = std::map<std::wstring, std::set<std::uint32_t>>;

// Ancestors not named in `kinds` are real folders; a right is denied unless
// `granted` names it.
bool Trusted(const Kinds& kinds, const Rights& granted = {}, const std::wstring& folder = kFolder) {
  return AncestorsTrusted(
      folder,
      [&](const std::wstring& path) {
        const auto it = kinds.find(path);
        return it == kinds.end() ? PathKind::Folder : it->second;
      },
      [&](const std::wstring& path, std::uint32_t access) {
        const auto it = granted.find(path);
        return it == granted.end() || !it->second.count(access);
      });
}

// A link the system made, which the user is denied every right to change,
// leads on; one the user may change in any one way does not, whichever
// ancestor it is; nor does anything but a real folder.
TEST(AncestorsTrusted, RealFoldersAndLinksTheUserCannotChange) {
  EXPECT_TRUE(Trusted({}));
  EXPECT_TRUE(Trusted({{L"C:\\Users", PathKind::Link}, {L"C:\\Users\\Jo", PathKind::Link}}));

  for (const std::wstring link : {L"C:\\Users", L"C:\\Users\\Jo\\Temp"}) {
    for (std::uint32_t right : kLinkChangeRights)
      EXPECT_FALSE(Trusted({{link, PathKind::Link}}, {{link, {right}}})) << right;
  }
  // A right granted on a real folder does not matter: it cannot be re-pointed
  // and, held below, neither renamed nor removed.
  EXPECT_TRUE(Trusted({}, {{L"C:\\Users\\Jo", {kDelete}}}));

  for (PathKind kind : {PathKind::Absent, PathKind::File, PathKind::Unreadable})
    EXPECT_FALSE(Trusted({{L"C:\\Users\\Jo", kind}}));
  EXPECT_FALSE(Trusted({}, {}, L"C:\\a\\..\\QuorvantaKQ6kInstall"));
}

}  // namespace

}  // namespace kq::test
