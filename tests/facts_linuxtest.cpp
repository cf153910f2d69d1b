// The facts that documents and comments quote for their reader, where the
// code takes them from one constant: each quote must be the constant's value.
// A quote that drifted from it fails here with its file and line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/utf8.h"
#include "console/options.h"
#include "udev/udev_rules.h"
#include "units/roles.h"
#include "units/unit_ids.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;

// Folders of test data and generators, whose devices are made up on purpose.
const std::set<std::string> kNotQuoting = {".git", "build", "sim", "fuzz", "tests", "e2e"};

bool isText(const fs::path& path) {
  static const std::set<std::string> kEndings = {".md", ".scd", ".h", ".cpp", ".sh", ".in",
                                                 ".py", ".txt", ".cmake", ".rc"};
  const std::string name = path.filename().string();
  return kEndings.count(path.extension().string()) || name == "changelog" ||
         name == "CMakeLists.txt";
}

// Each match of `pattern` in the sources and documents that is not in
// `allowed`, as "file:line: match".
std::vector<std::string> strayQuotes(const std::regex& pattern, const std::set<std::string>& allowed) {
  std::vector<std::string> stray;
  const fs::path root(KQ_SOURCE_DIR);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_directory() && kNotQuoting.count(it->path().filename().string()) &&
        it.depth() == 0) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file() || !isText(it->path())) continue;
    std::ifstream in(it->path());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number)
      for (std::sregex_iterator m(line.begin(), line.end(), pattern), end; m != end; ++m)
        if (!allowed.count((*m)[1].str()))
          stray.push_back(fs::relative(it->path(), root).string() + ":" + std::to_string(number) +
                          ": " + (*m)[0].str());
  }
  return stray;
}

// As a person reads them ("0483:A1DF", "0483:a1df" as sysfs and dmesg write
// them) and as Windows writes them in instance and hardware IDs
// ("VID_0483&PID_A1DF", "VID_0403+PID_6010" of the FTDI bus driver), as the
// documents and the example trees quote them.
TEST(QuotedFacts, EveryUsbIdQuotedIsOneOfTheUnitsFunctions) {
  std::set<std::string> ids, windowsIds = {"VID_05E3&PID_0608"};  // the example tree's hub
  for (const UsbFunctionId& f : {kMcuFunctionId, kFtdiFunctionId, kAudioFunctionId}) {
    const std::string id = std::string(f.vendor) + ":" + f.product;
    ids.insert(id);
    ids.insert(toAsciiLower(id));
    for (const char* between : {"&", "+"}) {
      const std::string windowsId = "VID_" + std::string(f.vendor) + between + "PID_" + f.product;
      windowsIds.insert(windowsId);
      windowsIds.insert(toAsciiLower(windowsId));  // as Windows 7 lists them
    }
  }
  const std::regex vidPid(R"((?:^|[^0-9A-Za-z:])([0-9A-Fa-f]{4}:[0-9A-Fa-f]{4})(?![0-9A-Za-z:]))");
  EXPECT_EQ(strayQuotes(vidPid, ids), std::vector<std::string>());
  const std::regex windowsId(R"((VID_[0-9A-F]{4}[&+]PID_[0-9A-F]{4}))", std::regex::icase);
  EXPECT_EQ(strayQuotes(windowsId, windowsIds), std::vector<std::string>());
}

TEST(QuotedFacts, EveryLinkFolderQuotedIsTheRulesOne) {
  EXPECT_EQ(strayQuotes(std::regex(R"((/dev/kq[0-9A-Za-z_.-]*/))"),
                        {"/dev/" + std::string(kLinkFolder) + "/"}),
            std::vector<std::string>());
}

TEST(QuotedFacts, EveryRulesFileQuotedIsOneTheProgramWrites) {
  EXPECT_EQ(strayQuotes(std::regex(R"(([0-9]{2}-kq[0-9a-z-]*\.rules))"),
                        {udev::kRulesFileName, udev::kLabelRulesFileName}),
            std::vector<std::string>());
}

// The help's paragraphs made from the roles' table still fit a terminal.
TEST(QuotedFacts, TheHelpFitsEightyColumnsOnBothSystems) {
  for (const ConsolePlatform platform : {ConsolePlatform::kWindows, ConsolePlatform::kLinux}) {
    const std::wstring help = HelpText(platform);
    size_t start = 0;
    while (start < help.size()) {
      const size_t end = help.find(L'\n', start);
      ASSERT_NE(end, std::wstring::npos) << "the help ends with a line end";
      EXPECT_LE(end - start, 79u) << encodeUtf8(help.substr(start, end - start));
      start = end + 1;
    }
  }
}

}  // namespace
}  // namespace kq::test
