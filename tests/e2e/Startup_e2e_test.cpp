// Hooking after launch: an application switched off when it started is
// hooked when the firewall posts "com.dovrane.kst.hookLate" and it has been
// switched on.

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

class StartupE2eTest : public E2eTest {
 protected:
  Server tracker_{kTrackerIp};
};

TEST_F(StartupE2eTest, LateHookingJudgesTheNextConnection) {
  ASSERT_TRUE(tracker_.ok());
  writeApp(kApp, plist::Dictionary{{"enabled", plist::Value(false)}, {"deny", ruleEntries({kTrackerName})}});
  Process app(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker_.port()}), env(),
              temp_.dir() + "/late.out", temp_.dir() + "/late.err");
  app.writeLine("go");
  ASSERT_TRUE(waitFor([&] { return lines("late.out").size() == 1; })) << text("late.err");
  EXPECT_EQ(lines("late.out")[0], "tcp" + kOk);

  writeApp(kApp, plist::Dictionary{{"enabled", plist::Value(true)}, {"deny", ruleEntries({kTrackerName})}});
  notify("com.dovrane.kst.hookLate");
  // The notification arrives on the application's own thread; attempt
  // until one is refused (each attempt waits for its own line of output).
  bool refused = false;
  for (std::size_t attempts = 1; attempts < 200 && !refused; ++attempts) {
    app.writeLine("go");
    ASSERT_TRUE(waitFor([&] { return lines("late.out").size() == attempts + 1; })) << text("late.err");
    refused = lines("late.out").back() == "tcp" + kRefused;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(refused) << text("late.out");
  app.closeInput();
  EXPECT_EQ(app.wait(), 0);
}

TEST_F(StartupE2eTest, ApplicationStillDisabledStaysUnhookedAfterHookLate) {
  ASSERT_TRUE(tracker_.ok());
  writeApp(kApp, plist::Dictionary{{"enabled", plist::Value(false)}, {"deny", ruleEntries({kTrackerName})}});
  Process app(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker_.port()}), env(),
              temp_.dir() + "/late.out", temp_.dir() + "/late.err");
  notify("com.dovrane.kst.hookLate");
  // A few attempts around the notification's delivery: none is judged.
  for (std::size_t attempts = 1; attempts <= 5; ++attempts) {
    app.writeLine("go");
    ASSERT_TRUE(waitFor([&] { return lines("late.out").size() == attempts; })) << text("late.err");
    EXPECT_EQ(lines("late.out").back(), "tcp" + kOk);
  }
  app.closeInput();
  EXPECT_EQ(app.wait(), 0);
}

}  // namespace
}  // namespace kst::e2e
