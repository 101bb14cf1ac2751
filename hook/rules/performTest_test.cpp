#include "hook/rules/performTest.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "hook/rules/RuleText.h"

namespace kst {
namespace {

// One rule against one destination; the host defaults to a name that no
// address rule can reach by accident.
bool match(const std::string& rule, std::string_view host, int port, std::string_view address = "192.0.2.1") {
  const std::vector<std::string> rules{rule};
  return performTest(&rules, host, port, address);
}

bool matchAddress(const std::string& rule, std::string_view address, int port) {
  return match(rule, "name.example", port, address);
}

TEST(RuleTextTest, LeadingIntegerReadsBlanksSignAndDigitsAndSaturates) {
  using ruletext::leadingInteger;
  EXPECT_EQ(leadingInteger("443"), 443);
  EXPECT_EQ(leadingInteger("  \t80abc"), 80);
  EXPECT_EQ(leadingInteger("+7"), 7);
  EXPECT_EQ(leadingInteger("-7"), -7);
  EXPECT_EQ(leadingInteger("1 2"), 1);
  EXPECT_EQ(leadingInteger("abc"), 0);
  EXPECT_EQ(leadingInteger(""), 0);
  EXPECT_EQ(leadingInteger("--1"), 0);
  EXPECT_EQ(leadingInteger("+"), 0);
  EXPECT_EQ(leadingInteger("9223372036854775807"), LLONG_MAX);
  EXPECT_EQ(leadingInteger("9223372036854775808"), LLONG_MAX);
  EXPECT_EQ(leadingInteger("99999999999999999999999"), LLONG_MAX);
  EXPECT_EQ(leadingInteger("-9223372036854775808"), LLONG_MIN);
  EXPECT_EQ(leadingInteger("-99999999999999999999999"), LLONG_MIN);
}

TEST(RuleTextTest, SplitKeepsEmptyPiecesAndRemoveAllIsOnePass) {
  using ruletext::split;
  EXPECT_EQ(split("a::b", ":"), (std::vector<std::string_view>{"a", "", "b"}));
  EXPECT_EQ(split("", ":"), (std::vector<std::string_view>{""}));
  EXPECT_EQ(split(":", ":"), (std::vector<std::string_view>{"", ""}));
  EXPECT_EQ(split("[::1]:80", "]:"), (std::vector<std::string_view>{"[::1", "80"}));
  EXPECT_EQ(ruletext::removeAll("*:*:80", "*:"), "80");
  EXPECT_EQ(ruletext::removeAll("**::80", "*:"), "*:80");
}

TEST(PerformTestTest, AbsentEmptyAndMalformedListsGiveFalse) {
  EXPECT_FALSE(performTest(nullptr, "example.com", 80, "192.0.2.1"));
  const std::vector<std::string> none;
  EXPECT_FALSE(performTest(&none, "example.com", 80, "192.0.2.1"));
  const std::vector<std::string> junk{"", "*", "**", "*:", ":", "-", "[]:", "1.2.3.4-", "*:80-90-100"};
  EXPECT_FALSE(performTest(&junk, "example.com", 80, "192.0.2.1"));
  EXPECT_FALSE(match("*", "example.com", 80));
  EXPECT_FALSE(match("*", "", 80));
}

TEST(PerformTestTest, EmptyRuleNeverMatchesEvenAnEmptyHost) {
  EXPECT_FALSE(match("", "", 0, ""));
  // A rule of only a port limit compares its empty name part literally.
  EXPECT_TRUE(match(":80", "", 80));
  EXPECT_FALSE(match(":80", "", 81));
}

TEST(PerformTestTest, AnyHostPortRules) {
  EXPECT_TRUE(match("*:80", "example.com", 80));
  EXPECT_FALSE(match("*:80", "example.com", 8080));
  EXPECT_TRUE(match("*:8000-8100", "example.com", 8000));
  EXPECT_TRUE(match("*:8000-8100", "example.com", 8100));
  EXPECT_FALSE(match("*:8000-8100", "example.com", 7999));
  EXPECT_FALSE(match("*:8000-8100", "example.com", 8101));
  // Every "*:" is removed before the port is read.
  EXPECT_TRUE(match("*:*:80", "example.com", 80));
  EXPECT_TRUE(match("*:80*:", "example.com", 80));
  // Reversed and three-piece ranges pass no port; a leading "-" is a range from 0.
  EXPECT_FALSE(match("*:90-80", "example.com", 85));
  EXPECT_FALSE(match("*:80-85-90", "example.com", 85));
  EXPECT_TRUE(match("*:-80", "example.com", 0));
  EXPECT_TRUE(match("*:-80", "example.com", 80));
  EXPECT_FALSE(match("*:-80", "example.com", 81));
  EXPECT_TRUE(match("*:http", "example.com", 0));
  EXPECT_FALSE(match("*:http", "example.com", 80));
}

TEST(PerformTestTest, NumbersPastTheIntegerRangeSaturate) {
  EXPECT_TRUE(match("*:0-99999999999999999999", "example.com", INT_MAX));
  EXPECT_FALSE(match("*:99999999999999999999", "example.com", INT_MAX));
  EXPECT_FALSE(match("*:4294967376", "example.com", 80));  // 2^32 + 80 does not wrap to 80
  EXPECT_TRUE(matchAddress("10.0.0.0-99999999999999999999", "10.0.0.4294967296", 1));
}

TEST(PerformTestTest, Ipv4NetworkRules) {
  EXPECT_TRUE(matchAddress("10.0.0.*", "10.0.0.77", 1234));
  EXPECT_TRUE(matchAddress("10.0.0.*:443", "10.0.0.77", 443));
  EXPECT_FALSE(matchAddress("10.0.0.*:443", "10.0.0.77", 80));
  EXPECT_TRUE(matchAddress("1.11.1.*", "1.11.1.9", 80));
  EXPECT_FALSE(matchAddress("1.11.1.*", "11.1.1.9", 80));
  EXPECT_FALSE(matchAddress("1.11.1.*", "1.1.11.9", 80));
  // The fourth part of the rule is not examined, but both must have four parts.
  EXPECT_TRUE(matchAddress("10.0.0.*!", "10.0.0.1", 80));
  EXPECT_FALSE(matchAddress("10.0.*", "10.0.0.1", 80));
  EXPECT_FALSE(matchAddress("10.0.0.*", "10.0.0.1.5", 80));
  EXPECT_FALSE(matchAddress("10.0.0.*", "fe80::1", 80));
}

TEST(PerformTestTest, Ipv4RangeRules) {
  EXPECT_TRUE(matchAddress("10.0.0.20-30", "10.0.0.25", 1));
  EXPECT_TRUE(matchAddress("10.0.0.20-30", "10.0.0.20", 1));
  EXPECT_TRUE(matchAddress("10.0.0.20-30", "10.0.0.30", 1));
  EXPECT_FALSE(matchAddress("10.0.0.20-30", "10.0.0.31", 1));
  EXPECT_FALSE(matchAddress("10.0.0.20-30", "10.0.1.25", 1));
  EXPECT_TRUE(matchAddress("10.0.0.20-30:80-90", "10.0.0.25", 85));
  EXPECT_FALSE(matchAddress("10.0.0.20-30:80-90", "10.0.0.25", 91));
  EXPECT_FALSE(matchAddress("10.0.0.30-20", "10.0.0.25", 1));
  EXPECT_FALSE(matchAddress("10.0.0.20-25-30", "10.0.0.25", 1));
  // "*" and "-" together: the network test alone is enough.
  EXPECT_TRUE(matchAddress("10.0.0.*-5", "10.0.0.200", 1));
}

TEST(PerformTestTest, Ipv4ExactRulesMatchByAddressOrByName) {
  EXPECT_TRUE(matchAddress("10.0.0.5", "10.0.0.5", 1));
  EXPECT_TRUE(matchAddress("10.0.0.5:80", "10.0.0.5", 80));
  EXPECT_FALSE(matchAddress("10.0.0.5:80", "10.0.0.5", 81));
  EXPECT_FALSE(matchAddress("10.0.0.5", "10.0.0.6", 1));
  // With no name known the host is the address text: step 4 matches it too.
  EXPECT_TRUE(match("10.0.0.5", "10.0.0.5", 1, "198.51.100.7"));
}

TEST(PerformTestTest, Ipv6Rules) {
  EXPECT_TRUE(matchAddress("[FE80::1]:443", "fe80::1", 443));
  EXPECT_FALSE(matchAddress("[FE80::1]:443", "fe80::1", 80));
  EXPECT_TRUE(matchAddress("fe80::1", "fe80::1", 443));
  EXPECT_TRUE(matchAddress("fe80::1", "FE80::1", 9));
  EXPECT_TRUE(matchAddress("[fe80::1]:80-90", "fe80::1", 90));
  EXPECT_FALSE(matchAddress("[fe80::1]:80-90", "fe80::2", 90));
  // The host is compared lower-cased too.
  EXPECT_TRUE(match("fe80::1", "FE80::1", 9, "192.0.2.1"));
  EXPECT_FALSE(matchAddress("[fe80::1]:80]:90", "fe80::1", 80));
}

TEST(PerformTestTest, ExactNamesLowerTheRuleButNotTheHost) {
  EXPECT_TRUE(match("Example.COM", "example.com", 1));
  EXPECT_FALSE(match("Example.COM", "Example.com", 1));
  EXPECT_FALSE(match("example.com", "www2.example.com", 1));
  EXPECT_TRUE(match("example.com:443", "example.com", 443));
  EXPECT_FALSE(match("example.com:443", "example.com", 80));
  EXPECT_TRUE(match("example.com:https", "example.com", 0));
  EXPECT_FALSE(match("example.com:https", "example.com", 443));
  // Further ":"-pieces are ignored.
  EXPECT_TRUE(match("example.com:443:junk", "example.com", 443));
}

TEST(PerformTestTest, StarDotIsContainmentNotSuffix) {
  EXPECT_TRUE(match("*.apple.com", "itunes.apple.com", 1));
  EXPECT_TRUE(match("*.apple.com", "x.apple.com.cdn.net", 1));
  EXPECT_TRUE(match("*.apple.co", "x.apple.com", 1));
  EXPECT_FALSE(match("*.apple.com", "apple.com", 1));
  EXPECT_FALSE(match("*.apple.com", "itunes.Apple.com", 1));
  EXPECT_TRUE(match("*.Apple.com:443", "a.apple.com", 443));
  EXPECT_FALSE(match("*.Apple.com:443", "a.apple.com", 444));
}

TEST(PerformTestTest, StarNameLooksOnlyAtTheFirstOccurrence) {
  EXPECT_TRUE(match("*apple.com", "apple.com", 1));
  EXPECT_TRUE(match("*apple.com", "itunes.apple.com", 1));
  EXPECT_FALSE(match("*apple.com", "pineapple.com", 1));
  EXPECT_FALSE(match("*apple.com", "pineapple.com.apple.com", 1));
  EXPECT_TRUE(match("*apple.com", "apple.com.pineapple.com", 1));
  EXPECT_TRUE(match("*apple.co", "a.apple.com", 1));
  // Every "*" is removed, wherever it stands.
  EXPECT_TRUE(match("**app*le.com", "apple.com", 1));
  EXPECT_TRUE(match("*.", "a.b", 1));
  EXPECT_FALSE(match("*.", "ab", 1));
}

TEST(PerformTestTest, MalformedRulesNeverStopTheScan) {
  std::mt19937 random(7);
  const std::string alphabet = "*:.-[]0123456789aZ ";
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> rules;
    for (int i = 0; i < 20; ++i) {
      std::string rule(random() % 300, '\0');
      for (char& c : rule) {
        c = random() % 4 == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
      }
      rules.push_back(rule);
    }
    rules.push_back("needle.example");
    ASSERT_TRUE(performTest(&rules, "needle.example", 1, "192.0.2.1")) << "round " << round;
  }
}

}  // namespace
}  // namespace kst
