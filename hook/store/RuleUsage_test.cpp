#include "hook/store/RuleUsage.h"

#include <gtest/gtest.h>

#include <thread>

namespace kst {
namespace {

using plist::Date;

Destination to(std::string host, int port = 443, std::string address = "192.0.2.1") {
  return Destination{std::move(host), port, std::move(address)};
}

TEST(RuleUsageCounterTest, EachDecisionCountsForTheFirstRuleOfItsListThatMatches) {
  RuleUsageCounter counter;
  const auto allow = RuleList::make({"*:80", "*.example.com", "www.example.com", "192.0.2.*"});
  const auto deny = RuleList::make({"ads.example"});
  for (int i = 0; i < 10; ++i) counter.note(allow, false, false, to("mail.example.com"), Date{100.0 + i});
  counter.note(allow, false, false, to("smtp.example.com"), Date{50});  // the same rule, another host
  counter.note(allow, false, false, to("other.test", 80), Date{60});
  counter.note(allow, false, false, to("numbers.test", 443, "192.0.2.7"), Date{70});
  counter.note(deny, true, true, to("ads.example"), Date{80});

  const RuleUsageTable table = counter.take(std::string("com.a"));
  const RuleUse* star = findRuleUse(table, std::string("com.a"), false, "*.example.com");
  ASSERT_NE(star, nullptr);
  EXPECT_EQ(star->count, 11u);
  EXPECT_EQ(star->last, Date{109});
  EXPECT_EQ(findRuleUse(table, std::string("com.a"), false, "www.example.com"), nullptr)
      << "a later rule that also matches did not decide";
  ASSERT_NE(findRuleUse(table, std::string("com.a"), false, "*:80"), nullptr);
  ASSERT_NE(findRuleUse(table, std::string("com.a"), false, "192.0.2.*"), nullptr);
  const RuleUse* ads = findRuleUse(table, std::nullopt, true, "ads.example");
  ASSERT_NE(ads, nullptr) << "global rules are counted under no application";
  EXPECT_EQ(ads->count, 1u);
  EXPECT_EQ(table.size(), 4u);

  EXPECT_TRUE(counter.take(std::string("com.a")).empty()) << "what was taken is not reported twice";
}

TEST(RuleUsageCounterTest, WhatCannotBeNamedIsLeftOut) {
  RuleUsageCounter counter;
  const auto allow = RuleList::make({"kept.example"});
  counter.note(allow, false, false, to("kept.example"), Date{1});
  counter.note(RuleList::make({"a.example"}), false, false, to("b.example"), Date{1});  // list replaced since
  counter.note(allow, true, false, to("kept.example"), Date{1});
  const RuleUsageTable table = counter.take(std::nullopt);
  ASSERT_EQ(table.size(), 1u) << "without a bundle identifier only the global rule is named";
  EXPECT_FALSE(table.begin()->first.bundleId);
}

TEST(RuleUsageCounterTest, DistinctDestinationsBetweenReportsAreBounded) {
  RuleUsageCounter counter;
  const auto allow = RuleList::make({"*:443"});
  const std::size_t flood = RuleUsageCounter::kMaxPendingPerShard + 100;
  for (std::size_t i = 0; i < flood; ++i)
    counter.note(allow, false, false, to("h" + std::to_string(i)), Date{1});
  // Destinations already noted still count.
  counter.note(allow, false, false, to("h0"), Date{2});
  EXPECT_EQ(counter.uncounted(), 100u);
  const RuleUsageTable table = counter.take(std::string("com.a"));
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table.begin()->second.count, RuleUsageCounter::kMaxPendingPerShard + 1);
  // After a report there is room again.
  counter.note(allow, false, false, to("new.example"), Date{3});
  EXPECT_EQ(counter.take(std::string("com.a")).begin()->second.count, 1u);
}

TEST(RuleUsageCounterTest, ThreadsCountAtOnceWithoutLosingADecision) {
  RuleUsageCounter counter;
  const auto allow = RuleList::make({"*.example.com"});
  constexpr int kThreads = 12;
  constexpr int kEach = 2000;
  std::vector<std::thread> threads;
  RuleUsageTable taken;
  std::atomic<bool> done{false};
  // A report taking counts meanwhile loses none of them either.
  std::thread reporter([&] {
    while (!done.load()) {
      for (const auto& [key, use] : counter.take(std::string("com.a"))) addRuleUse(taken, key, use);
      std::this_thread::yield();
    }
  });
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        counter.note(allow, false, false, to("h" + std::to_string(t % 3) + ".example.com"), Date{1});
    });
  }
  for (auto& t : threads) t.join();
  done = true;
  reporter.join();
  for (const auto& [key, use] : counter.take(std::string("com.a"))) addRuleUse(taken, key, use);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken.begin()->second.count, static_cast<std::uint64_t>(kThreads * kEach));
  EXPECT_EQ(counter.uncounted(), 0u);
}

}  // namespace
}  // namespace kst
