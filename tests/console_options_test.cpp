// kqports' command line: the options it takes and the one line it writes for
// an argument it does not.
#include <gtest/gtest.h>

#include <iterator>

#include "console/options.h"

namespace kq::test {

namespace {

std::vector<std::wstring> args(std::initializer_list<const wchar_t*> list) {
  return std::vector<std::wstring>(list.begin(), list.end());
}

}  // namespace

TEST(ConsoleArguments, TakesEachOptionInAnyOrder) {
  struct Case {
    std::vector<std::wstring> arguments;
    bool json, watch, help, version;
  };
  const Case cases[] = {
      {args({}), false, false, false, false},
      {args({L"--json"}), true, false, false, false},
      {args({L"--watch", L"--json"}), true, true, false, false},
      {args({L"--json", L"--watch", L"--json"}), true, true, false, false},
      {args({L"--help"}), false, false, true, false},
      {args({L"-h"}), false, false, true, false},
      {args({L"/?"}), false, false, true, false},
      {args({L"--version"}), false, false, false, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const ParsedArguments parsed = ParseArguments(cases[i].arguments, ConsolePlatform::kWindows);
    EXPECT_FALSE(parsed.badArgument) << i;
    EXPECT_EQ(parsed.options.json, cases[i].json) << i;
    EXPECT_EQ(parsed.options.watch, cases[i].watch) << i;
    EXPECT_EQ(parsed.options.help, cases[i].help) << i;
    EXPECT_EQ(parsed.options.version, cases[i].version) << i;
  }
}

TEST(ConsoleArguments, TheFirstArgumentNotUnderstoodIsNamedOnOneLine) {
  const std::vector<std::wstring> bad[] = {
      args({L"--jsn"}), args({L"--json", L"COM9"}), args({L"--JSON"}),
      args({L"--watch", L"-x", L"-y"}), args({L"--help", L"--bogus"}), args({L""})};
  const wchar_t* named[] = {L"--jsn", L"COM9", L"--JSON", L"-x", L"--bogus", L""};
  for (size_t i = 0; i < std::size(bad); ++i) {
    const ParsedArguments parsed = ParseArguments(bad[i], ConsolePlatform::kWindows);
    ASSERT_TRUE(parsed.badArgument) << i;
    EXPECT_EQ(*parsed.badArgument, named[i]) << i;
  }
  const std::wstring line = UsageErrorText(L"--jsn");
  EXPECT_NE(line.find(L"\"--jsn\""), std::wstring::npos);
  EXPECT_EQ(line.find(L'\n'), line.size() - 1);
}

}  // namespace kq::test
