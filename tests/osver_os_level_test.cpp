#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "osver/os_level.h"

namespace kq::test {

namespace {

// The version the fake system reports; tests run one at a time.
struct FakeSystem {
  unsigned major = 0, minor = 0, servicePack = 0;
  bool server = false;
  std::vector<std::tuple<unsigned, unsigned, unsigned>> asked;
} fake;

bool FakeAtLeast(unsigned major, unsigned minor, unsigned servicePack) {
  fake.asked.emplace_back(major, minor, servicePack);
  return std::tie(fake.major, fake.minor, fake.servicePack) >= std::tie(major, minor, servicePack);
}
bool FakeIsServer() { return fake.server; }

int LevelOf(unsigned major, unsigned minor, unsigned servicePack, bool server = false) {
  fake = {major, minor, servicePack, server, {}};
  return ClassifyOsLevel(FakeAtLeast, FakeIsServer);
}

TEST(OsLevel, ClassifiesEveryWorkstationVersion) {
  struct Case { unsigned major, minor, sp; int level; const char* name; };
  const Case cases[] = {
      {5, 0, 4, 0, "2000 SP4"},      {5, 1, 0, 1, "XP"},          {5, 1, 1, 2, "XP SP1"},
      {5, 1, 2, 3, "XP SP2"},        {5, 1, 3, 4, "XP SP3"},      {5, 2, 2, 4, "XP x64 / 2003 as 5.2"},
      {6, 0, 0, 5, "Vista"},         {6, 0, 1, 6, "Vista SP1"},   {6, 0, 2, 7, "Vista SP2"},
      {6, 1, 0, 8, "7"},             {6, 1, 1, 9, "7 SP1"},       {6, 2, 0, 10, "8, and 8.1/10 unmanifested"},
      {6, 3, 0, 11, "8.1 manifested"}, {10, 0, 0, 12, "10 manifested"}, {4, 0, 6, 0, "NT 4.0"},
  };
  for (const Case& c : cases) EXPECT_EQ(LevelOf(c.major, c.minor, c.sp), c.level) << c.name;
}

TEST(OsLevel, EveryServerIsThirteenWhateverItsVersion) {
  EXPECT_EQ(LevelOf(6, 0, 2, true), 13);  // Server 2008, a Vista by version
  EXPECT_EQ(LevelOf(5, 2, 0, true), 13);  // Server 2003
  EXPECT_EQ(LevelOf(5, 0, 0, true), 13);  // no version test passes, still a server
  EXPECT_GT(LevelOf(6, 0, 0, true), 9);   // counts as "Windows 8 or later" downstream
}

TEST(OsLevel, RunsAllTwelveTestsInAscendingOrder) {
  LevelOf(10, 0, 0);
  const std::vector<std::tuple<unsigned, unsigned, unsigned>> expected = {
      {5, 1, 0}, {5, 1, 1}, {5, 1, 2}, {5, 1, 3}, {6, 0, 0}, {6, 0, 1},
      {6, 0, 2}, {6, 1, 0}, {6, 1, 1}, {6, 2, 0}, {6, 3, 0}, {10, 0, 0}};
  EXPECT_EQ(fake.asked, expected);
  LevelOf(5, 0, 0);  // nothing passes, yet nothing is skipped
  EXPECT_EQ(fake.asked.size(), 12u);
}

// With a test answer that is not monotonic the last passing test wins,
// which shows there is no early exit at the first failure.
TEST(OsLevel, LastPassingTestWinsWithoutEarlyExit) {
  auto onlyXpSp1AndSeven = [](unsigned major, unsigned minor, unsigned sp) {
    return (major == 5 && minor == 1 && sp == 1) || (major == 6 && minor == 1 && sp == 0);
  };
  EXPECT_EQ(ClassifyOsLevel(onlyXpSp1AndSeven, [] { return false; }), 8);
}

}  // namespace

}  // namespace kq::test
