#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/driver_store.h"
#include "drivers/install_files.h"

namespace kq::test {

namespace {

TEST(DriverStorePrefix, WildcardNamesCompareTheTextBeforeTheStar) {
  EXPECT_TRUE(MatchesProbePrefix(L"ftdibus.inf_x86_8a2c5b1e44d1a4f3", L"\\ftdibus.inf_*"));
  EXPECT_TRUE(MatchesProbePrefix(L"ftdiport.inf_amd64_0123", L"\\ftdiport.inf_*"));
  // The search ignores case, the prefix test does not.
  EXPECT_FALSE(MatchesProbePrefix(L"FTDIBUS.INF_x86_8a2c5b1e", L"\\ftdibus.inf_*"));
  EXPECT_FALSE(MatchesProbePrefix(L"Kq_6200_winkey.inf_x86", L"\\kq_6200_winkey.inf*"));
  // The maker's names carry no underscore: an entry without any suffix counts.
  EXPECT_TRUE(MatchesProbePrefix(L"kq_6200_winkey.inf", L"\\kq_6200_winkey.inf*"));
  EXPECT_TRUE(MatchesProbePrefix(L"kq_6200_fsk.inf_amd64_77", L"\\kq_6200_fsk.inf*"));
  // The FTDI names do carry one.
  EXPECT_FALSE(MatchesProbePrefix(L"ftdibus.inf", L"\\ftdibus.inf_*"));
  EXPECT_FALSE(MatchesProbePrefix(L"ftdibus.in", L"\\ftdibus.inf_*"));
}

TEST(DriverStorePrefix, PlainNamesLeaveTheirLastLetterUncompared) {
  EXPECT_TRUE(MatchesProbePrefix(L"drv.exe", L"\\drv.exe"));
  EXPECT_TRUE(MatchesProbePrefix(L"drv.ex", L"\\drv.exe"));
  EXPECT_TRUE(MatchesProbePrefix(L"drv.exx", L"\\drv.exe"));
  EXPECT_FALSE(MatchesProbePrefix(L"drv.e", L"\\drv.exe"));
  EXPECT_FALSE(MatchesProbePrefix(L"DRV.EXE", L"\\drv.exe"));
  EXPECT_TRUE(MatchesProbePrefix(L"cert.inf", L"\\cert.inf"));
  EXPECT_TRUE(MatchesProbePrefix(L"timeToCleanUp.inf", L"\\timeToCleanUp.inf"));
  // Names that cannot be probed at all.
  EXPECT_FALSE(MatchesProbePrefix(L"x", L"\\"));
  EXPECT_FALSE(MatchesProbePrefix(L"cert.inf", L"cert.inf"));
}

TEST(DriverStorePaths, ComposedPathMustFitWithItsTerminator) {
  const std::wstring folder(250, L'a');
  EXPECT_EQ(ComposePath(folder, L"\\drv.exe").value(), folder + L"\\drv.exe");  // 258 units
  EXPECT_TRUE(ComposePath(std::wstring(250, L'a'), std::wstring(9, L'b')).has_value());   // 259
  EXPECT_FALSE(ComposePath(std::wstring(250, L'a'), std::wstring(10, L'b')).has_value());  // 260
  EXPECT_FALSE(ComposePath(std::wstring(300, L'a'), L"").has_value());
  // An empty folder would make "\name" a path from the drive's root.
  EXPECT_FALSE(ComposePath(L"", L"\\ftdibus.inf_*").has_value());
}

TEST(DriverStorePaths, InstallFolderRoomForEveryNameUnderIt) {
  EXPECT_EQ(InstallFolderUnder(L"C:\\Users\\Jo Ann\\AppData\\Local\\Temp\\"),
            L"C:\\Users\\Jo Ann\\AppData\\Local\\Temp\\QuorvantaKQ6kInstall");
  // The longest name below the folder is "\Quorvanta_KQ-6200_Reserved.inf" (31).
  const std::size_t room = kPathBufferUnits - 1 - 31 - 20;  // 20 = "QuorvantaKQ6kInstall"
  EXPECT_FALSE(InstallFolderUnder(std::wstring(room, L't')).empty());
  EXPECT_TRUE(InstallFolderUnder(std::wstring(room + 1, L't')).empty());
  EXPECT_TRUE(InstallFolderUnder(L"").empty());
}

struct ProbeLog {
  std::vector<std::wstring> asked;
  std::vector<std::wstring> present;
  std::function<bool(const wchar_t*)> probe() {
    return [this](const wchar_t* name) {
      asked.emplace_back(name);
      for (const auto& p : present)
        if (p == name) return true;
      return false;
    };
  }
};

const std::wstring kBus = L"\\ftdibus.inf_*", kPort = L"\\ftdiport.inf_*",
                   kWinkey = L"\\kq_6200_winkey.inf*", kFsk = L"\\kq_6200_fsk.inf*";

TEST(DriverStoreCheck, DecidesInOrderAndStopsAtTheFirstMissingEntry) {
  struct Case {
    std::vector<std::wstring> present;
    DriverState state;
    std::vector<std::wstring> asked;
  };
  const Case cases[] = {
      {{kBus, kPort, kWinkey, kFsk}, DriverState::AllPresent, {kBus, kPort, kWinkey, kFsk}},
      {{kPort, kWinkey, kFsk}, DriverState::FtdiMissing, {kBus}},
      {{kBus, kWinkey, kFsk}, DriverState::FtdiMissing, {kBus, kPort}},
      {{kBus, kPort, kFsk}, DriverState::DeviceDriversMissing, {kBus, kPort, kWinkey}},
      {{kBus, kPort, kWinkey}, DriverState::DeviceDriversMissing, {kBus, kPort, kWinkey, kFsk}},
      {{}, DriverState::FtdiMissing, {kBus}},
  };
  for (const Case& c : cases) {
    ProbeLog log{{}, c.present};
    EXPECT_EQ(ClassifyDriverStore(log.probe()), c.state);
    EXPECT_EQ(log.asked, c.asked);
  }
}

TEST(DriverStoreWait, FifteenLooksTwoSecondsApart) {
  int looks = 0;
  std::vector<unsigned> sleeps;
  auto sleep = [&](unsigned ms) { sleeps.push_back(ms); };

  // Never there: 15 looks, a 2000 ms pause after each, 30 s in all.
  EXPECT_FALSE(PollForFile([&] { ++looks; return false; }, sleep));
  EXPECT_EQ(looks, 15);
  EXPECT_EQ(sleeps, std::vector<unsigned>(15, 2000));

  // Created 5 s after the call: found at the fourth look, about 6 s in.
  looks = 0;
  sleeps.clear();
  unsigned elapsed = 0;
  EXPECT_TRUE(PollForFile([&] { ++looks; return elapsed >= 5000; },
                          [&](unsigned ms) { elapsed += ms; }));
  EXPECT_EQ(looks, 4);
  EXPECT_EQ(elapsed, 6000u);

  // Already there: no wait at all.
  looks = 0;
  EXPECT_TRUE(PollForFile([&] { ++looks; return true; }, sleep));
  EXPECT_EQ(looks, 1);
  EXPECT_TRUE(sleeps.empty());
}

}  // namespace

}  // namespace kq::test
