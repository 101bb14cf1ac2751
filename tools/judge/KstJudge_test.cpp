#include "tools/judge/KstJudge.h"

#include <gtest/gtest.h>

#include <sstream>

#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using plist::Dictionary;
using plist::Value;
using testing::ruleEntries;

class JudgeTest : public testing::StoreFixture {
 protected:
  int judge(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.dir()});
    out_.str("");
    err_.str("");
    return runJudge(args, out_, err_);
  }
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(JudgeTest, NamesTheStepAndTheRuleThatDecided) {
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"ads.example", "*.tracker.example"}))}});
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"allow", Value(ruleEntries({"10.0.0.*:443"}))}})}});
  EXPECT_EQ(judge({"com.example.app", "www.x.tracker.example", "80"}), 1);
  EXPECT_NE(out_.str().find("-> x.tracker.example:80"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("global deny rule \"*.tracker.example\""), std::string::npos) << out_.str();
  EXPECT_EQ(judge({"com.example.app", "10.0.0.7", "443"}), 0);
  EXPECT_NE(out_.str().find("application allow rule \"10.0.0.*:443\""), std::string::npos) << out_.str();
  EXPECT_EQ(judge({"com.example.app", "10.0.0.7", "80"}), 2);
  EXPECT_EQ(judge({"--not-ready", "com.example.app", "10.0.0.7", "80"}), 0);
}

TEST_F(JudgeTest, SwitchedOffFirewallAndApplication) {
  writeRules(Dictionary{{"com.off", Value(Dictionary{{"enabled", Value(false)}, {"allowEverything", Value("2")}})}});
  EXPECT_EQ(judge({"com.off", "a.example", "1"}), 0);
  EXPECT_NE(out_.str().find("switched off for this application"), std::string::npos);
  writeRaw(files::kDisabledMarkerPath, "");
  EXPECT_EQ(judge({"com.example.app", "a.example", "1"}), 0);
  EXPECT_NE(out_.str().find("the firewall is switched off"), std::string::npos);
}

TEST_F(JudgeTest, RejectsBadArguments) {
  EXPECT_EQ(judge({"com.example.app", "a.example"}), 64);
  EXPECT_EQ(judge({"com.example.app", "a.example", "70000"}), 64);
  EXPECT_EQ(judge({"com.example.app", "a.example", "8o"}), 64);
  EXPECT_EQ(judge({"--bogus", "com.example.app", "a.example", "80"}), 64);
  EXPECT_FALSE(err_.str().empty());
}

}  // namespace
}  // namespace kst
