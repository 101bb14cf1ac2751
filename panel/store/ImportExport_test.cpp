#include "panel/store/ImportExport.h"

#include <gtest/gtest.h>

#include "hook/rules/KstFiles.h"
#include "panel/store/RuleListModel.h"
#include "panel/testing/PanelTesting.h"
#include "platform/fs/Utf16File.h"

namespace kst::panel {
namespace {

using testing::PanelFixtureState;

class ImportExportTest : public ::testing::Test {
 protected:
  PanelFixtureState s;
  testing::NotificationCounter notes{s.center};
  ImportExport io{s.store};
  const std::string settingsFolder{ImportExport::kSettingsFolder};
  const std::string listsFolder{ImportExport::kListsFolder};

  void makeSettingsFolder() { std::filesystem::create_directories(s.path(settingsFolder)); }
  std::vector<std::string> globalRules(const char* key) {
    std::vector<std::string> out;
    const auto file = s.read(files::kGlobalRulesPath);
    if (!file || !file->array(key)) return out;
    for (const auto& v : *file->array(key)) out.push_back(*v.asDictionary()->string("rule"));
    return out;
  }
};

TEST_F(ImportExportTest, FileNameFollowsTheDatePattern) {
  std::tm t{};
  t.tm_year = 116, t.tm_mon = 2, t.tm_mday = 3, t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9, t.tm_isdst = -1;
  EXPECT_EQ(ImportExport::settingsFileName(std::mktime(&t)), "KstSettings-2016-03-03_14-05-09.plist");
}

TEST_F(ImportExportTest, ExportOfOnlyTheRulesFileRoundTripsAndLeavesTheOtherFiles) {
  makeSettingsFolder();
  const plist::Dictionary rules{{"150", true}, {"com.a", plist::Dictionary{{"enabled", false}}}};
  s.write(files::kRulesPath, rules);
  const auto name = io.exportAll(1000);
  ASSERT_TRUE(name);
  const auto exported = s.read(settingsFolder + *name);
  ASSERT_TRUE(exported);
  EXPECT_EQ(exported->keys(), (std::vector<std::string>{"appRules"}));
  EXPECT_EQ(io.exportAll(1000), name) << "the same second replaces the file";
  EXPECT_EQ(io.settingsFiles().size(), 1u);

  s.write(files::kRulesPath, {{"com.b", plist::Dictionary{}}});
  const plist::Dictionary global{{"log", true}};
  s.write(files::kGlobalRulesPath, global);
  EXPECT_EQ(io.importSettings(*name), 1);
  EXPECT_EQ(s.read(files::kRulesPath), rules) << "applications absent from the file lose their entries";
  EXPECT_EQ(s.read(files::kGlobalRulesPath), global);
  EXPECT_FALSE(s.exists(files::kPanelSettingsPath));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 0);
}

TEST_F(ImportExportTest, NothingIsExportedWithoutFilesOrWithoutTheFolder) {
  EXPECT_FALSE(io.exportAll(1000));
  s.write(files::kRulesPath, {{"150", true}});
  EXPECT_FALSE(io.exportAll(1000)) << "the folder is not created";
  EXPECT_TRUE(io.settingsFiles().empty());
}

TEST_F(ImportExportTest, ValuesThatAreNotDictionariesChangeNothing) {
  makeSettingsFolder();
  const plist::Dictionary rules{{"com.a", plist::Dictionary{}}, {"150", true}};
  const plist::Dictionary global{{"log", true}, {"150", true}};
  s.write(files::kRulesPath, rules);
  s.write(files::kGlobalRulesPath, global);
  s.write(settingsFolder + "odd.plist", {{"appRules", "text"},
                                         {"globalRules", plist::Array{}},
                                         {"settings", plist::Dictionary{{"showAllowHelp", false}}}});
  EXPECT_EQ(io.importSettings("odd.plist"), 1);
  EXPECT_EQ(s.read(files::kRulesPath), rules);
  EXPECT_EQ(s.read(files::kGlobalRulesPath), global);
  EXPECT_EQ(s.read(files::kPanelSettingsPath), (plist::Dictionary{{"showAllowHelp", false}}));
  s.writeBytes(settingsFolder + "junk.plist", std::string("bplist00\x01\x02", 10));
  EXPECT_EQ(io.importSettings("junk.plist"), 0);
  EXPECT_EQ(io.importSettings("../com.Dovrane.FirewallRules2.plist"), 0) << "only names inside the folder";
  EXPECT_EQ(s.read(files::kRulesPath), rules);
  EXPECT_TRUE(io.deleteSettingsFile("junk.plist"));
  EXPECT_FALSE(s.exists(settingsFolder + "junk.plist"));
}

TEST_F(ImportExportTest, HostListKeepsCaseDropsSpacesAndMakesEmptyRulesOfEmptyPieces) {
  s.writeBytes(listsFolder + "two.txt", "Ads.Example.com\ntrack er.net\n");
  s.write(files::kGlobalRulesPath, {{"globalDeny", plist::Array{testing::ruleEntry("old.com", 1)}}});
  EXPECT_EQ(io.importHostList("two.txt", true), 3u);
  EXPECT_EQ(globalRules("globalDeny"),
            (std::vector<std::string>{"old.com", "Ads.Example.com", "tracker.net", ""}));
  io.importHostList("two.txt", true);
  EXPECT_EQ(globalRules("globalDeny").size(), 7u) << "stored twice";
  RuleListModel shown(s.store, true);
  shown.reload();
  EXPECT_EQ(shown.rules().size(), 4u) << "the list screen shows each once";
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->contains("150"));
}

TEST_F(ImportExportTest, HostListEncodingsAndJunk) {
  // UTF-16 with a mark, CRLF endings kept as the format says.
  s.writeBytes(listsFolder + "utf16.txt", *utf16::encode("a.com\r\nb.com"));
  EXPECT_EQ(io.importHostList("utf16.txt", false), 2u);
  EXPECT_EQ(globalRules("globalAllow"), (std::vector<std::string>{"a.com\r", "b.com"}));
  s.writeBytes(listsFolder + "bom8.txt",
               "\xEF\xBB\xBF"
               "c.com");
  EXPECT_EQ(io.importHostList("bom8.txt", false), 1u);
  EXPECT_EQ(globalRules("globalAllow").back(), "c.com");
  // Binary junk adds nothing, but the file is still written whole.
  s.writeBytes(listsFolder + "junk.bin", std::string("\x00\xff\xfe\x01\x80\x81", 6).substr(1));
  s.writeBytes(listsFolder + "nul.txt", std::string("a\0b", 3));
  EXPECT_EQ(io.importHostList("junk.bin", true), 0u);
  EXPECT_EQ(io.importHostList("nul.txt", true), 0u);
  EXPECT_EQ(io.importHostList("missing.txt", true), 0u);
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->array("globalDeny")->empty());
  EXPECT_EQ(io.hostLists().size(), 4u);
}

TEST(HostListPiecesTest, TrailingLineFeedGivesAnEmptyPiece) {
  EXPECT_EQ(ImportExport::hostListPieces("a\n\n# c\n"), (std::vector<std::string>{"a", "", "#c", ""}));
  EXPECT_EQ(ImportExport::hostListPieces(""), (std::vector<std::string>{""}));
}

}  // namespace
}  // namespace kst::panel
