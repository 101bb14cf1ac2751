#include "tools/rules/RuleTexts.h"

#include <gtest/gtest.h>

#include "tools/rules/JsonText.h"

namespace kst::rules {
namespace {

TEST(RuleTextsTest, RuleTextsAreLowerCasedAndBadOnesRefusedWithAReason) {
  std::string why;
  EXPECT_EQ(checkedRuleText("Ads.Example:443", &why), "ads.example:443");
  EXPECT_EQ(checkedRuleText("*.Tracker.example", &why), "*.tracker.example");
  EXPECT_FALSE(checkedRuleText("", &why));
  EXPECT_NE(why.find("empty"), std::string::npos);
  EXPECT_FALSE(checkedRuleText(std::string("a\0b", 3), &why));
  EXPECT_NE(why.find("control"), std::string::npos);
  EXPECT_FALSE(checkedRuleText("two words", &why));
  EXPECT_FALSE(checkedRuleText(std::string(100000, 'a'), &why));
  EXPECT_NE(why.find("1024"), std::string::npos);
  EXPECT_TRUE(checkedRuleText(std::string(kMaxRuleLength, 'a'), &why));
}

TEST(RuleTextsTest, HostListsOfEitherShapeGiveTheirNamesOnce) {
  const std::string list =
      "# a blocklist\r\n"
      "127.0.0.1 localhost\n"
      "::1 ip6-localhost ip6-loopback\n"
      "0.0.0.0 0.0.0.0\n"
      "0.0.0.0 Ads.Example tracker.example  # two names on a line\n"
      "\n"
      "   \t\n"
      "plain.example\r\n"
      "ads.example\n"
      "10.1.2.3\n"
      "bad\x01name.example\n"
      "last.example";
  EXPECT_EQ(hostListNames(list),
            (std::vector<std::string>{"ads.example", "tracker.example", "plain.example", "last.example"}));
  EXPECT_TRUE(hostListNames("").empty());
  EXPECT_TRUE(hostListNames("# only a comment\n\n").empty());
}

TEST(RuleTextsTest, JsonStringsAlwaysParse) {
  EXPECT_EQ(jsonString("a.example"), "\"a.example\"");
  EXPECT_EQ(jsonString("q\"b\\s"), "\"q\\\"b\\\\s\"");
  EXPECT_EQ(jsonString(std::string("t\tn\n\x01", 5)), "\"t\\u0009n\\u000a\\u0001\"");
  EXPECT_EQ(jsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"") << "UTF-8 kept";
  EXPECT_EQ(jsonString("x\xFF"
                       "y\xC3"),
            "\"x\xEF\xBF\xBDy\xEF\xBF\xBD\"")
      << "stray bytes replaced";
  EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"") << "no surrogates";
}

}  // namespace
}  // namespace kst::rules
