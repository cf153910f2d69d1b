#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "drivers/install_files.h"
#include "drivers/path_kind.h"

namespace kq::test {

namespace {

TEST(PathKindOf, TheReparseAttributeDecidesBeforeTheFolderAttribute) {
  EXPECT_EQ(KindOfPath(0x410, 0), PathKind::Link);  // junction or folder link: directory too
  EXPECT_EQ(KindOfPath(0x420, 0), PathKind::Link);  // file link
  EXPECT_EQ(KindOfPath(0x10, 0), PathKind::Folder);
  EXPECT_EQ(KindOfPath(0x30, 0), PathKind::Folder);
  EXPECT_EQ(KindOfPath(0x80, 0), PathKind::File);
  EXPECT_EQ(KindOfPath(kInvalidFileAttributes, 2), PathKind::Absent);
  EXPECT_EQ(KindOfPath(kInvalidFileAttributes, 3), PathKind::Absent);
  // Access denied, sharing violation: something may be there.
  EXPECT_EQ(KindOfPath(kInvalidFileAttributes, 5), PathKind::Unreadable);
  EXPECT_EQ(KindOfPath(kInvalidFileAttributes, 32), PathKind::Unreadable);
}

const std::wstring kInstall = L"C:\\Users\\Jo Ann\\Temp\\QuorvantaKQ6kInstall";
const std::wstring kX86 = kInstall + L"\\x86";
const std::wstring kAmd64 = kInstall + L"\\amd64";
constexpr PathKind kFolder = PathKind::Folder, kLink = PathKind::Link,
                   kUnreadable = PathKind::Unreadable;

// Paths not named are absent; every look is noted.
struct FakeFolders {
  std::map<std::wstring, PathKind> kinds;
  std::vector<std::wstring> looked;
  LookAtFolder look() {
    return [this](const std::wstring& path) {
      looked.push_back(path);
      const auto found = kinds.find(path);
      return found == kinds.end() ? PathKind::Absent : found->second;
    };
  }
};

TEST(InstallFolderLinks, BeforeWritingEachLinkGoesAndNothingBelowALinkIsLookedAt) {
  struct Case {
    const char* name;
    std::map<std::wstring, PathKind> kinds;
    std::optional<std::vector<std::wstring>> links;
  };
  const Case cases[] = {
      {"nothing there", {}, std::vector<std::wstring>{}},
      {"real folders", {{kInstall, kFolder}, {kX86, kFolder}, {kAmd64, kFolder}},
       std::vector<std::wstring>{}},
      {"subfolder links", {{kInstall, kFolder}, {kX86, kLink}, {kAmd64, kLink}},
       std::vector<std::wstring>{kX86, kAmd64}},
      {"folder link", {{kInstall, kLink}, {kX86, kLink}, {kAmd64, kFolder}},
       std::vector<std::wstring>{kInstall}},
      {"folder unreadable", {{kInstall, kUnreadable}}, std::nullopt},
      {"subfolder unreadable", {{kInstall, kFolder}, {kX86, kLink}, {kAmd64, kUnreadable}},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFolders folders{c.kinds, {}};
    EXPECT_EQ(FolderLinksToRemove(kInstall, folders.look()), c.links);
    if (c.links == std::vector<std::wstring>{kInstall}) {
      EXPECT_EQ(folders.looked, std::vector<std::wstring>{kInstall});
    }
  }
}

TEST(InstallFolderLinks, CleanUpRemovesLinksByThemselvesAndNeverCleansThroughOne) {
  using Steps = std::vector<std::pair<std::wstring, FolderAction>>;
  constexpr FolderAction kClean = FolderAction::Clean, kUnlink = FolderAction::RemoveLink;
  struct Case {
    const char* name;
    std::map<std::wstring, PathKind> kinds;
    Steps steps;
  };
  const Case cases[] = {
      {"real folders", {{kInstall, kFolder}, {kX86, kFolder}, {kAmd64, kFolder}},
       {{kX86, kClean}, {kAmd64, kClean}, {kInstall, kClean}}},
      // Absent ones as before: RemoveFolder finds nothing there.
      {"nothing there", {}, {{kX86, kClean}, {kAmd64, kClean}, {kInstall, kClean}}},
      {"subfolder link", {{kInstall, kFolder}, {kX86, kLink}, {kAmd64, kFolder}},
       {{kX86, kUnlink}, {kAmd64, kClean}, {kInstall, kClean}}},
      {"subfolder unreadable", {{kInstall, kFolder}, {kX86, kFolder}, {kAmd64, kUnreadable}},
       {{kX86, kClean}, {kInstall, kClean}}},
      {"folder link", {{kInstall, kLink}, {kX86, kFolder}, {kAmd64, kFolder}},
       {{kInstall, kUnlink}}},
      {"folder unreadable", {{kInstall, kUnreadable}, {kX86, kFolder}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFolders folders{c.kinds, {}};
    Steps steps;
    for (const auto& step : CleanUpSteps(kInstall, folders.look()))
      steps.emplace_back(step.path, step.action);
    EXPECT_EQ(steps, c.steps);
  }
}

}  // namespace

}  // namespace kq::test
