#include "panel/store/Reachability.h"

#include <gtest/gtest.h>

#include "hook/rules/KstFiles.h"
#include "panel/store/AppListModel.h"
#include "panel/testing/PanelTesting.h"

namespace kst::panel {
namespace {

TEST(ReachabilityTest, StatusFromTheFlags) {
  EXPECT_EQ(Reachability::statusForFlags(0, false), Reachability::kNotReachable);
  EXPECT_EQ(Reachability::statusForFlags(kReachabilityReachable, false), Reachability::kReachableViaWiFi);
  EXPECT_EQ(Reachability::statusForFlags(kReachabilityReachable | kReachabilityConnectionRequired, false),
            Reachability::kNotReachable);
  EXPECT_EQ(
      Reachability::statusForFlags(
          kReachabilityReachable | kReachabilityConnectionRequired | kReachabilityConnectionOnTraffic, false),
      Reachability::kReachableViaWiFi);
  EXPECT_EQ(
      Reachability::statusForFlags(kReachabilityReachable | kReachabilityConnectionRequired |
                                       kReachabilityConnectionOnDemand | kReachabilityInterventionRequired,
                                   false),
      Reachability::kNotReachable);
  EXPECT_EQ(Reachability::statusForFlags(kReachabilityReachable | kReachabilityIsWWAN, false),
            Reachability::kReachableViaWWAN);
  EXPECT_EQ(Reachability::statusForFlags(kReachabilityReachable, true), Reachability::kNotReachable);
  EXPECT_EQ(Reachability::statusForFlags(kReachabilityReachable | kReachabilityIsDirect, true),
            Reachability::kReachableViaWiFi);
}

TEST(ReachabilityTest, TheProbeReadsThePlatformsFlags) {
  NetworkReachability::setFlagsForTesting(kReachabilityReachable | kReachabilityIsWWAN);
  auto probe = Reachability::reachabilityForInternetConnection();
  EXPECT_EQ(probe->currentReachabilityStatus(), Reachability::kReachableViaWWAN);
  EXPECT_FALSE(probe->connectionRequired());
  NetworkReachability::setFlagsForTesting(0);
  EXPECT_EQ(probe->currentReachabilityStatus(), Reachability::kNotReachable);
  NetworkReachability::setFlagsForTesting(std::nullopt);
}

TEST(DamagedFileTest, AnUnreadableRulesFileIsKeptWhenReplaced) {
  testing::PanelFixtureState s;
  s.writeBytes(files::kRulesPath, "bplist00 truncated");
  applist::ApplicationCatalogue catalogue(s.root.root(), {});
  AppListModel(s.store, catalogue).ensureRulesFile();
  EXPECT_EQ(s.read(files::kRulesPath), (plist::Dictionary{{"150", true}}));
  EXPECT_EQ(FileSystem::real().readFile(s.path(files::kRulesPath) + ".damaged"), "bplist00 truncated");
  // A readable file is replaced without a copy.
  s.store.writeRules({{"a", plist::Dictionary{}}});
  EXPECT_EQ(FileSystem::real().readFile(s.path(files::kRulesPath) + ".damaged"), "bplist00 truncated");
}

}  // namespace
}  // namespace kst::panel
