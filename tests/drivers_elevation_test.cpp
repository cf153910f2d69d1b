#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/elevation.h"

namespace kq::test {

namespace {

constexpr unsigned char kRandom[16] = {0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd,
                                       0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x10};
const std::wstring kName = L"QuorvantaKQ6k-000123456789abcdeffedcba9876541" L"0";
const std::wstring kSid = L"S-1-5-21-3623811015-3361044348-30300820-1013";

TEST(Elevation, RunFolderNamesAreThePrefixAndThirtyTwoLowerCaseHexDigits) {
  EXPECT_EQ(RunFolderName(kRandom), kName);
  EXPECT_TRUE(IsRunFolderName(kName));
  for (const std::wstring& bad : std::vector<std::wstring>{
           std::wstring(), kName.substr(0, kName.size() - 1), kName + L"0",
        L"QuorvantaKQ6k-000123456789ABCDEFFEDCBA98765410", L"quorvantaKQ6k-000123456789abcdeffedcba98765410",
        L"QuorvantaKQ6k-0001234567890bcdeffedcba9876541g", L"QuorvantaKQ6k-..\\234567890bcdeffedcba98765410",
        L"QuorvantaKQ6k-0001234567890bcdeffedcba987654\\x"})
    EXPECT_FALSE(IsRunFolderName(bad)) << bad;
}

TEST(Elevation, SidsAreTakenOnlyInTheShapeWindowsWritesThem) {
  for (const wchar_t* good : {L"S-1-5-18", L"S-1-5-21-0-0-0-1000", kSid.c_str(), L"S-1-5-32-544",
                              L"S-1-281474976710655-4294967295"})
    EXPECT_TRUE(IsSidString(good)) << good;
  for (const wchar_t* bad :
       {L"", L"S-1-", L"S-1-5", L"S-1-5-", L"S-1-5--18", L"S-1-05-18", L"S-1-5-4294967296",
        L"S-1-281474976710656-1", L"S-2-5-18", L"s-1-5-18", L"S-1-5-18 ", L" S-1-5-18",
        L"S-1-5-18)(A;OICI;FA;;;WD", L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", L"S-1-5-+18",
        L"S-1-5-1\x0661"})
    EXPECT_FALSE(IsSidString(bad)) << bad;
}

// The run folder's descriptor, as Windows is given it: owner Administrators,
// a protected DACL (nothing inherited from Windows' Temp folder), SYSTEM and
// Administrators full control, the user read access, each ACE inherited by
// files and subfolders.
TEST(Elevation, RunFolderDescriptorGrantsTheUserReadingOnly) {
  EXPECT_EQ(RunFolderSddl(kSid),
            L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;" + kSid + L")");
  EXPECT_EQ(RunFolderSddl(L"S-1-5-21-0-0-0-1000"),
            L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;S-1-5-21-0-0-0-1000)");
  // Nothing that could add an entry of its own.
  EXPECT_EQ(RunFolderSddl(L"S-1-5-18)(A;OICI;FA;;;WD"), L"");
  EXPECT_EQ(RunFolderSddl(L"WD"), L"");
}

TEST(Elevation, RunFolderLiesInWindowsOwnTempFolderAndFitsWithEveryName) {
  EXPECT_EQ(RunFolderUnder(L"C:\\Windows", kName), L"C:\\Windows\\Temp\\" + kName);
  EXPECT_EQ(RunFolderUnder(L"C:\\", kName), L"C:\\Temp\\" + kName);
  EXPECT_EQ(RunFolderUnder(L"", kName), L"");
  EXPECT_EQ(RunFolderUnder(L"C:\\Windows", L"..\\System32"), L"");
  // 260 units with the terminator: the folder and "\Quorvanta_KQ-6200_Reserved.inf".
  const std::wstring longest(260 - 1 - 31 - 6 - kName.size(), L'w');
  EXPECT_EQ(RunFolderUnder(longest, kName), longest + L"\\Temp\\" + kName);
  EXPECT_EQ(RunFolderUnder(longest + L"w", kName), L"");
}

TEST(Elevation, ParametersAreTheSwitchTheNameAndTheSidExactly) {
  const ElevatedRequest request{kName, kSid};
  const std::wstring parameters = ElevatedParameters(request);
  EXPECT_EQ(parameters, L"--install " + kName + L" " + kSid);
  const auto back = ParseElevatedParameters(parameters);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->runFolderName, kName);
  EXPECT_EQ(back->userSid, kSid);
  for (const std::wstring& bad : std::vector<std::wstring>{
           std::wstring(), L"--install", L"--install " + kName, L"--install  " + kName + L" " + kSid,
        parameters + L" ", parameters + L" extra", L"-y " + kName + L" " + kSid,
        L"--install " + kName + L"x " + kSid, L"--install " + kName + L" S-1-5-18)(A;;FA;;;WD",
        L"--install\t" + kName + L" " + kSid})
    EXPECT_FALSE(ParseElevatedParameters(bad)) << bad;
}

TEST(Elevation, TheScriptRunsInAShellThatReadsNoAutoRunCommand) {
  EXPECT_EQ(ScriptCommandLine(L"C:\\Windows\\system32\\cmd.exe", L"C:\\Windows\\Temp\\x\\a.bat"),
            L"\"C:\\Windows\\system32\\cmd.exe\" /d /c \"C:\\Windows\\Temp\\x\\a.bat\"");
}

TEST(Elevation, TheScriptsEnvironmentIsOfOurMakingOnly) {
  const std::wstring block =
      ScriptEnvironment(L"C:\\Windows", L"C:\\Windows\\system32", L"C:\\Windows\\Temp\\run");
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block.substr(block.size() - 2), std::wstring(2, L'\0'));
  std::vector<std::wstring> variables;
  for (std::size_t at = 0; block[at] != L'\0'; at = block.find(L'\0', at) + 1)
    variables.push_back(block.substr(at, block.find(L'\0', at) - at));
  EXPECT_EQ(variables, (std::vector<std::wstring>{
                           L"ComSpec=C:\\Windows\\system32\\cmd.exe",
                           L"PATH=C:\\Windows\\system32;C:\\Windows;C:\\Windows\\system32\\Wbem",
                           L"PATHEXT=.COM;.EXE;.BAT;.CMD",
                           L"SystemDrive=C:",
                           L"SystemRoot=C:\\Windows",
                           L"TEMP=C:\\Windows\\Temp\\run",
                           L"TMP=C:\\Windows\\Temp\\run",
                           L"windir=C:\\Windows",
                       }));
}

TEST(Elevation, OnlyAFinishedOrUnfinishedScriptRan) {
  EXPECT_TRUE(ScriptRanBefore(kSfxFinished));
  EXPECT_TRUE(ScriptRanBefore(kSfxNotFinished));
  for (std::uint32_t code : {2u, 3u, 4u, 5u, 6u, 11u, 12u, 1u, 259u, 0xC0000005u})
    EXPECT_FALSE(ScriptRanBefore(code)) << code;
}

// The program's lock is the user's own: a name no other user's SID gives, and
// nothing that is not a SID in the shape Windows writes it becomes part of
// a kernel object's name.
TEST(Elevation, TheProgramsLockIsNamedForItsUser) {
  EXPECT_EQ(ProgramLockName(L"S-1-5-21-1-2-3-1001"),
            L"Local\\QuorvantaKQ6200DriverInstallation-S-1-5-21-1-2-3-1001");
  EXPECT_NE(ProgramLockName(L"S-1-5-21-1-2-3-1001"), ProgramLockName(L"S-1-5-21-1-2-3-1002"));
  EXPECT_EQ(ProgramLockName(L""), L"");
  EXPECT_EQ(ProgramLockName(L"S-1-5-21-1\\..\\Global"), L"");
}

}  // namespace

}  // namespace kq::test
