// kestrix-rules against a running program: a rule added from a terminal
// holds for the program's next connection, without a restart.

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

class RulesToolE2eTest : public E2eTest {};

TEST_F(RulesToolE2eTest, RunningProgramIsRefusedRightAfterADenyRuleIsAdded) {
  Server tracker(kTrackerIp);
  ASSERT_TRUE(tracker.ok());
  Process program(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker.port()}), env(),
                  temp_.dir() + "/program.out", temp_.dir() + "/program.err");
  auto attempt = [&](std::size_t n) {
    program.writeLine("go");
    return waitFor([&] { return lines("program.out").size() >= n; });
  };
  // No rule and no shell: let through.
  ASSERT_TRUE(attempt(1)) << text("program.err");
  EXPECT_EQ(lines("program.out").back(), "tcp" + kOk);

  ASSERT_EQ(run({KST_RULES, "--root", temp_.dir(), "add", kApp, "deny", kTrackerName}, "rules"), 0)
      << text("rules.err");
  // The notification reaches the program's own thread a moment later.
  bool refused = false;
  for (std::size_t n = 2; n < 100 && !refused; ++n) {
    ASSERT_TRUE(attempt(n));
    refused = lines("program.out").back() == "tcp" + kRefused;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(refused) << "the deny rule never held";

  ASSERT_EQ(run({KST_RULES, "--root", temp_.dir(), "remove", kApp, "deny", kTrackerName}, "rules"), 0);
  bool allowed = false;
  for (std::size_t n = lines("program.out").size() + 1; n < 200 && !allowed; ++n) {
    ASSERT_TRUE(attempt(n));
    allowed = lines("program.out").back() == "tcp" + kOk;
    if (!allowed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(allowed) << "the removal never reached the program";
  program.closeInput();
  EXPECT_EQ(program.wait(), 0);
}

TEST_F(RulesToolE2eTest, ARuleAddedForTwoSecondsStopsDecidingWithoutAReload) {
  Server tracker(kTrackerIp);
  ASSERT_TRUE(tracker.ok());
  ASSERT_EQ(
      run({KST_RULES, "--root", temp_.dir(), "add", kApp, "deny", "--for", "2s", kTrackerName}, "rules"), 0)
      << text("rules.err");
  const auto added = std::chrono::steady_clock::now();
  Process program(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker.port()}), env(),
                  temp_.dir() + "/program.out", temp_.dir() + "/program.err");
  program.writeLine("go");
  ASSERT_TRUE(waitFor([&] { return lines("program.out").size() >= 1; })) << text("program.err");
  if (std::chrono::steady_clock::now() - added < std::chrono::milliseconds(1500)) {
    EXPECT_EQ(lines("program.out")[0], "tcp" + kRefused) << "the rule holds while it lasts";
  }
  std::this_thread::sleep_for(std::chrono::steady_clock::now() - added < std::chrono::seconds(3)
                                  ? std::chrono::seconds(3) - (std::chrono::steady_clock::now() - added)
                                  : std::chrono::steady_clock::duration::zero());
  // Nothing was posted: the program sees the expiry on its own.
  program.writeLine("go");
  ASSERT_TRUE(waitFor([&] { return lines("program.out").size() >= 2; }));
  EXPECT_EQ(lines("program.out")[1], "tcp" + kOk) << "expired: no longer decides";
  program.closeInput();
  EXPECT_EQ(program.wait(), 0);
}

}  // namespace
}  // namespace kst::e2e
