// kestrix-rules against a running program: a rule added from a terminal
// holds for the program's next connection, without a restart, and what a
// rule decided is counted by the shell and listed.

#include <ctime>

#include "hook/rules/KstFiles.h"
#include "hook/store/RuleUsageFile.h"
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

// "2026-12-09T10:00:00Z" as seconds since 1970; -1 when it is not one.
std::time_t parseIsoDate(const std::string& text) {
  std::tm utc{};
  if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) == nullptr) return -1;
  return timegm(&utc);
}

TEST_F(RulesToolE2eTest, TenConnectsAllowedByOneRuleAreCountedByTheShellAndListed) {
  Server tracker(kTrackerIp);
  ASSERT_TRUE(tracker.ok());
  ASSERT_EQ(
      run({KST_RULES, "--root", temp_.dir(), "add", kApp, "allow", kTrackerName, "idle.example"}, "rules"), 0)
      << text("rules.err");
  startSpringBoard();
  const std::time_t from = std::time(nullptr);
  Process program(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker.port()}), env(),
                  temp_.dir() + "/program.out", temp_.dir() + "/program.err");
  for (std::size_t n = 1; n <= 10; ++n) {
    program.writeLine("go");
    ASSERT_TRUE(waitFor([&] { return lines("program.out").size() >= n; })) << text("program.err");
  }
  for (const std::string& line : lines("program.out")) EXPECT_EQ(line, "tcp" + kOk);
  program.closeInput();
  EXPECT_EQ(program.wait(), 0);
  const std::time_t to = std::time(nullptr);

  // The program reports at its exit; the shell writes a moment later.
  const std::string countsPath = temp_.path(files::kRuleUsagePath);
  const RuleUsageKey key{std::string(kApp), false, kTrackerName};
  std::optional<RuleUse> use;
  ASSERT_TRUE(waitFor([&] {
    const RuleUsageTable table = readRuleUsageFile(FileSystem::real(), countsPath).table;
    const auto it = table.find(key);
    if (it != table.end()) use = it->second;
    return use && use->count >= 10;
  })) << "counted "
      << (use ? use->count : 0) << "; shell: " << text("springboard.err");
  EXPECT_EQ(use->count, 10u);
  const double last = use->last.secondsSinceReference + 978307200.0;
  EXPECT_GE(last, static_cast<double>(from) - 1);
  EXPECT_LE(last, static_cast<double>(to) + 1);

  ASSERT_EQ(run({KST_RULES, "--root", temp_.dir(), "list", kApp}, "list"), 0) << text("list.err");
  const std::string listed = text("list.out");
  const std::string said = "used 10 times, last ";
  const auto at = listed.find(said);
  ASSERT_NE(at, std::string::npos) << listed;
  EXPECT_NE(listed.find("never used"), std::string::npos) << "idle.example decided nothing\n" << listed;
  const std::time_t listedLast = parseIsoDate(listed.substr(at + said.size(), 20));
  EXPECT_GE(listedLast, from - 1) << listed;
  EXPECT_LE(listedLast, to + 1) << listed;

  // A rule removed loses its count at the shell's next write.
  ASSERT_EQ(run({KST_RULES, "--root", temp_.dir(), "remove", kApp, "allow", kTrackerName}, "rules"), 0);
  ASSERT_EQ(run({KST_RULES, "--root", temp_.dir(), "add", kApp, "allow", kTrackerIp}, "rules"), 0);
  Process again(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker.port()}), env(),
                temp_.dir() + "/again.out", temp_.dir() + "/again.err");
  again.writeLine("go");
  ASSERT_TRUE(waitFor([&] { return lines("again.out").size() >= 1; })) << text("again.err");
  again.closeInput();
  EXPECT_EQ(again.wait(), 0);
  EXPECT_TRUE(waitFor([&] {
    return readRuleUsageFile(FileSystem::real(), countsPath).table.count(key) == 0;
  })) << "the removed rule kept its count";
}

}  // namespace
}  // namespace kst::e2e
