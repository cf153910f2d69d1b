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
  const std::wstring line = UsageErrorText(ParseArguments(args({L"--jsn"}), ConsolePlatform::kWindows));
  EXPECT_NE(line.find(L"unknown argument \"--jsn\""), std::wstring::npos) << line;
  EXPECT_EQ(line.find(L'\n'), line.size() - 1);
}

TEST(ConsoleArguments, SerialAndRoleTakeTheirValueAndSayWhatTheyWant) {
  for (const ConsolePlatform platform : {ConsolePlatform::kWindows, ConsolePlatform::kLinux}) {
    ParsedArguments parsed =
        ParseArguments(args({L"--role", L"cat", L"--serial", L"40117"}), platform);
    ASSERT_FALSE(parsed.badArgument);
    EXPECT_EQ(parsed.options.serial, L"40117");
    EXPECT_EQ(parsed.options.role, L"cat");
    parsed = ParseArguments(args({L"--serial", L"40117", L"--json", L"--watch"}), platform);
    EXPECT_FALSE(parsed.badArgument);

    // Each bad use names its argument and says what was wanted, on one line.
    struct Bad {
      std::vector<std::wstring> arguments;
      const wchar_t* named;
      const wchar_t* says;
    };
    const Bad bad[] = {
        {args({L"--serial", L"4011/"}), L"4011/",
         L"is neither a serial nor a label: a serial is the five"},
        {args({L"--serial", L"40117;"}), L"40117;", L"is neither a serial nor a label"},
        {args({L"--serial"}), L"--serial", L"--serial needs a value"},
        {args({L"--role", L"cats"}), L"cats", L"is not a role: cat, ptt, fsk, winkey, audioIn or"},
        {args({L"--role=audio"}), L"audio", L"is not a role"},
        {args({L"--serial=4011 "}), L"4011 ", L"is neither a serial nor a label"},
        {args({L"--serial="}), L"", L"is neither a serial nor a label"},
        {args({L"--role", L"cat", L"--json"}), L"--role", L"takes neither --json nor --watch"},
        {args({L"--watch", L"--role", L"fsk"}), L"--role", L"takes neither"},
        {args({L"40117"}), L"40117", L"kqports --serial 40117 reports that unit"},
    };
    for (const Bad& b : bad) {
      parsed = ParseArguments(b.arguments, platform);
      ASSERT_TRUE(parsed.badArgument) << b.named;
      EXPECT_EQ(*parsed.badArgument, b.named);
      const std::wstring line = UsageErrorText(parsed);
      EXPECT_NE(line.find(b.says), std::wstring::npos) << line;
      EXPECT_EQ(line.find(L'\n'), line.size() - 1) << line;
    }
  }
}

// The forms people type: a value after "=", a role in capitals; and an
// option given twice, which is refused by name rather than the last one
// silently winning.
TEST(ConsoleArguments, TakesValuesAfterEqualsRolesInAnyCaseAndEachOptionOnce) {
  for (const ConsolePlatform platform : {ConsolePlatform::kWindows, ConsolePlatform::kLinux}) {
    ParsedArguments parsed = ParseArguments(args({L"--serial=40117", L"--role=CAT"}), platform);
    ASSERT_FALSE(parsed.badArgument) << *parsed.badArgument;
    EXPECT_EQ(parsed.options.serial, L"40117");
    EXPECT_EQ(parsed.options.role, L"cat");
    parsed = ParseArguments(args({L"--role", L"AUDIOIN"}), platform);
    EXPECT_EQ(parsed.options.role, L"audioIn");

    struct Twice {
      std::vector<std::wstring> arguments;
      const wchar_t* named;
    };
    const Twice twice[] = {
        {args({L"--serial", L"40117", L"--serial", L"40262"}), L"\"--serial\" is given twice"},
        {args({L"--serial=40117", L"--role", L"cat", L"--serial=40117"}), L"\"--serial\""},
        {args({L"--role", L"cat", L"--role=ptt"}), L"\"--role\" is given twice"},
        {args({L"--json", L"--watch", L"--json"}), L"\"--json\" is given twice"},
        {args({L"-h", L"/?"}), L"\"/?\" is given twice"},
    };
    for (const Twice& t : twice) {
      parsed = ParseArguments(t.arguments, platform);
      ASSERT_TRUE(parsed.badArgument) << t.named;
      EXPECT_NE(UsageErrorText(parsed).find(t.named), std::wstring::npos) << UsageErrorText(parsed);
    }
    parsed = ParseArguments(args({L"--json=yes"}), platform);
    ASSERT_TRUE(parsed.badArgument);
    EXPECT_NE(UsageErrorText(parsed).find(L"\"--json\" takes no value"), std::wstring::npos);
  }
  // --node is Linux's, and only with --role.
  EXPECT_TRUE(ParseArguments(args({L"--role", L"cat", L"--node"}), ConsolePlatform::kWindows)
                  .badArgument);
  ParsedArguments parsed =
      ParseArguments(args({L"--role", L"cat", L"--node"}), ConsolePlatform::kLinux);
  ASSERT_FALSE(parsed.badArgument);
  EXPECT_TRUE(parsed.options.kernelNode);
  EXPECT_TRUE(ParseArguments(args({L"--node"}), ConsolePlatform::kLinux).badArgument);
}

TEST(ConsoleArguments, UdevRulesTakesSerialsInAnyOrderAndNoOtherOption) {
  ParsedArguments parsed =
      ParseArguments(args({L"40117", L"--udev-rules", L"40262"}), ConsolePlatform::kLinux);
  ASSERT_FALSE(parsed.badArgument);
  EXPECT_EQ(parsed.options.serials, args({L"40117", L"40262"}));
  for (const auto& extra : {L"--json", L"--watch"}) {
    parsed = ParseArguments(args({L"--udev-rules", extra}), ConsolePlatform::kLinux);
    ASSERT_TRUE(parsed.badArgument) << extra;
    EXPECT_NE(UsageErrorText(parsed).find(L"takes no other option"), std::wstring::npos);
  }
  parsed = ParseArguments(args({L"--udev-rules", L"1234;"}), ConsolePlatform::kLinux);
  ASSERT_TRUE(parsed.badArgument);
  EXPECT_NE(UsageErrorText(parsed).find(L"\"1234;\" is not a serial"), std::wstring::npos);
  // Windows has no rules: a serial alone points to --serial only.
  parsed = ParseArguments(args({L"40117"}), ConsolePlatform::kWindows);
  EXPECT_EQ(UsageErrorText(parsed).find(L"--udev-rules"), std::wstring::npos);
}

}  // namespace kq::test

namespace kq::test {

TEST(ConsoleArguments, ForTakesAProgramAndPttLineItsLineAndNeitherGoesWithTheReport) {
  for (const ConsolePlatform platform : {ConsolePlatform::kWindows, ConsolePlatform::kLinux}) {
    ParsedArguments parsed =
        ParseArguments(args({L"--ptt-line=DTR", L"--for", L"WSJTX", L"--serial", L"40117"}), platform);
    ASSERT_FALSE(parsed.badArgument) << parsed.problem;
    EXPECT_EQ(parsed.options.program, Program::kWsjtx);
    EXPECT_EQ(parsed.options.keying.ptt, ControlLine::kDtr);
    EXPECT_EQ(parsed.options.keying.cw, ControlLine::kRts);
    parsed = ParseArguments(args({L"--for", L"rigctld"}), platform);
    EXPECT_EQ(parsed.options.keying.ptt, ControlLine::kRts) << "the unit's own wiring";
    EXPECT_EQ(parsed.options.keying.cw, ControlLine::kDtr);

    struct Refused {
      std::vector<std::wstring> arguments;
      const wchar_t* problem;
    };
    const Refused refused[] = {
        {args({L"--for", L"wsjt-x"}),
         L"\"wsjt-x\" is not a program kqports knows: wsjtx, rigctld, direwolf, fldigi or flrig"},
        {args({L"--for", L"direwolf", L"--ptt-line", L"cts"}), L"\"cts\" is not a line: rts or dtr"},
        {args({L"--ptt-line", L"rts"}), L"--ptt-line goes with --for: it says which line keys PTT"},
        {args({L"--for", L"wsjtx", L"--json"}),
         L"--for prints a program's settings and takes neither --json, --watch nor --role"},
        {args({L"--for", L"wsjtx", L"--role", L"cat"}),
         L"--for prints a program's settings and takes neither --json, --watch nor --role"},
        {args({L"--for", L"wsjtx", L"--for", L"rigctld"}), L"\"--for\" is given twice; give it once"},
    };
    for (const Refused& bad : refused) {
      parsed = ParseArguments(bad.arguments, platform);
      EXPECT_TRUE(parsed.badArgument) << bad.problem;
      EXPECT_EQ(parsed.problem, bad.problem);
    }
  }
  // The help says how the unit is wired, from the one place that says it.
  EXPECT_NE(HelpText(ConsolePlatform::kLinux).find(L"unit's own wiring: RTS keys PTT, DTR keys CW"),
            std::wstring::npos);
}

TEST(ConsoleLabels, ALabelThatNamesAnotherUnitIsRefusedLetterCaseAside) {
  // On the command line alone, then against the units attached (40117,
  // labelled IC7300 by udev, and a1b2c); test_labels has the rest.
  EXPECT_TRUE(ParseArguments(args({L"--label", L"40117=IC7300", L"--label", L"40262=ic7300"}),
                             ConsolePlatform::kLinux).badArgument);
  EXPECT_TRUE(ParseArguments(args({L"--label", L"40117=a1b2c", L"--label", L"A1B2C=FT991"}),
                             ConsolePlatform::kLinux).badArgument);
  const std::vector<std::wstring> attached = {L"40117", L"a1b2c"};
  const auto check = [&](const UnitLabels& given) {
    UnitLabels all = {{L"40117", L"IC7300"}};
    for (const auto& [serial, label] : given) all[serial] = label;
    return CheckLabels(given, all, attached);
  };
  EXPECT_NE(check({{L"40262", L"A1B2C"}}).refusal, L"");
  EXPECT_NE(check({{L"40262", L"ic7300"}}).refusal, L"");
  // A unit's own label given anew, or its own serial, takes nothing of another's.
  for (const UnitLabels& own : {UnitLabels{{L"40117", L"ic7300"}}, UnitLabels{{L"40117", L"40117"}},
                                UnitLabels{{L"A1B2C", L"left"}}}) {
    const LabelCheck taken = check(own);
    EXPECT_EQ(taken.refusal + taken.notes, L"") << own.begin()->second;
  }
}

}  // namespace kq::test
