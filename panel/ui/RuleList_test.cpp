#include <QComboBox>

#include "hook/store/RuleUsageFile.h"
#include "panel/testing/PanelWidgetTesting.h"
#include "panel/ui/KstAppViewController.h"
#include "panel/ui/KstImportViewControllers.h"
#include "panel/ui/KstRuleListViewController.h"
#include "panel/ui/PanelTexts.h"

namespace kst::panel {
namespace {

using testing::PanelWidgetTest;
using testing::ruleEntry;

class RuleListTest : public PanelWidgetTest {
 protected:
  KstRuleListViewController* openGlobal(bool deny) {
    clickNamed(deny ? "globalDenyRow" : "globalAllowRow");
    return topAs<KstRuleListViewController>();
  }
  void addRule(const QString& typed) {
    clickNamed("addRuleRow");
    uikit::Alert* a = alert(text::kCreateGlobalRule);
    QTest::keyClicks(a->textField(), typed);
    answer(a, 1);
  }
  // The allow list of the one application, "Mail", from the first screen.
  KstRuleListViewController* openMailAllowRules() {
    uikit::TableView* appRows = top()->findChild<uikit::TableView*>("table");
    [&] { QTRY_COMPARE(rowTexts(appRows), QStringList({"Mail"})); }();
    clickRow(appRows, 0);
    topAs<KstAppViewController>();
    clickNamed("allowRulesRow");
    return topAs<KstRuleListViewController>();
  }
  std::vector<std::string> fileRules(const char* key) {
    std::vector<std::string> out;
    const auto file = s.read(files::kGlobalRulesPath);
    if (!file || !file->array(key)) return out;
    for (const auto& v : *file->array(key)) out.push_back(*v.asDictionary()->string("rule"));
    return out;
  }
};

TEST_F(RuleListTest, AddLowerCasesSortsAndDropsDuplicatesOnTheNextWrite) {
  s.write(files::kPanelSettingsPath, {{"showAllowHelp", false}});
  s.write(files::kGlobalRulesPath,
          {{"globalDeny", plist::Array{ruleEntry("tracker.net", 10), ruleEntry("ads.com", 20),
                                       ruleEntry("tracker.net", 30)}},
           {"log", true}});
  launch();
  auto* screen = openGlobal(true);
  ASSERT_NE(screen, nullptr);
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"ads.com", "tracker.net"}));
  addRule("Metrics.Example.COM");
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"ads.com", "metrics.example.com", "tracker.net"}));
  EXPECT_EQ(fileRules("globalDeny"),
            (std::vector<std::string>{"ads.com", "metrics.example.com", "tracker.net"}));
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->contains("log"));
  // Cancel and an empty text add nothing.
  clickNamed("addRuleRow");
  answer(alert(text::kCreateGlobalRule), 1);
  EXPECT_EQ(fileRules("globalDeny").size(), 3u);
  screenshot("rule-list");

  // By date: the search bar goes, the newest rule comes first.
  clickNamed("sortByDateButton");
  EXPECT_FALSE(find("searchField"));
  QTRY_COMPARE(rowTexts(screen->table()).first(), QString("metrics.example.com"));
  addRule("new.org");
  QTRY_COMPARE(rowTexts(screen->table()).first(), QString("new.org"));
  clickNamed("sortByNameButton");
  EXPECT_TRUE(find("searchField"));
  QTest::keyClicks(find<QLineEdit>("searchField"), "EXAMPLE");
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"metrics.example.com"}));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 0) << "rule lists post nothing";
}

TEST_F(RuleListTest, EditModeRetypesInPlaceAndDeletesWithTheControl) {
  s.write(files::kPanelSettingsPath, {{"showAllowHelp", false}});
  s.write(files::kGlobalRulesPath,
          {{"globalAllow", plist::Array{ruleEntry("a.com", 10), ruleEntry("b.com", 20)}}});
  launch();
  auto* screen = openGlobal(false);
  QTRY_COMPARE(rowTexts(screen->table()).size(), 2);
  clickNamed("editButton");
  answer(alert(text::kEditModeTitle), 0);
  EXPECT_TRUE(screen->isEditing());
  EXPECT_EQ(*s.read(files::kPanelSettingsPath)->find("didShowEditAlert"), plist::Value(true));
  screenshot("rule-list-editing");
  // Tap the text of the first rule and retype it.
  const QRect row0 = screen->table()->visualRect(screen->table()->model()->index(0, 0));
  QTest::mouseClick(screen->table()->viewport(), Qt::LeftButton, {}, QPoint(150, row0.center().y()));
  QLineEdit* field = nullptr;
  QTRY_VERIFY((field = screen->table()->findChild<QLineEdit*>("ruleTextField")) != nullptr);
  EXPECT_FALSE(find("editButton")) << "hidden while typing";
  field->selectAll();
  QTest::keyClicks(field, "Z.COM");
  QTest::keyClick(field, Qt::Key_Return);
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"z.com", "b.com"}));
  EXPECT_EQ(fileRules("globalAllow"), (std::vector<std::string>{"z.com", "b.com"}));
  EXPECT_GT(s.read(files::kGlobalRulesPath)
                ->array("globalAllow")
                ->at(0)
                .asDictionary()
                ->find("date")
                ->asDate()
                ->secondsSinceReference,
            1000.0)
      << "dated at the edit";
  // The red control deletes the row.
  const QRect row1 = screen->table()->visualRect(screen->table()->model()->index(1, 0));
  QTest::mouseClick(screen->table()->viewport(), Qt::LeftButton, {}, QPoint(19, row1.center().y()));
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"z.com"}));
  EXPECT_EQ(fileRules("globalAllow"), (std::vector<std::string>{"z.com"}));
  clickNamed("editButton");
  EXPECT_FALSE(screen->isEditing());
  EXPECT_FALSE(alertShown(text::kEditModeTitle)) << "the explanation is shown once";
}

TEST_F(RuleListTest, HelpAlertUntilHiddenAndDeleteAllEmptiesTheList) {
  s.write(files::kGlobalRulesPath, {{"globalAllow", plist::Array{ruleEntry("a.com", 1)}},
                                    {"globalDeny", plist::Array{ruleEntry("d.com", 1)}}});
  launch();
  openGlobal(false);
  uikit::Alert* help = alert(text::kGlobalAllow);
  EXPECT_EQ(help->message(), text::kHelpMessageB);
  answer(help, 0);  // Dismiss
  clickBack();
  topAs<KstMainViewController>();
  openGlobal(false);
  answer(alert(text::kGlobalAllow), 1);  // Hide Alert
  EXPECT_EQ(*s.read(files::kPanelSettingsPath)->find("showAllowHelp"), plist::Value(false));
  clickBack();
  topAs<KstMainViewController>();
  auto* screen = openGlobal(false);
  QTest::qWait(50);
  EXPECT_FALSE(alertShown(text::kGlobalAllow));
  clickNamed("importDeleteRow");
  answer(alert(text::kImportDeleteTitle), 2);
  answer(alert(text::kDeleteAllRulesQ), 1);
  QTRY_COMPARE(rowTexts(screen->table()).size(), 0);
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->array("globalAllow")->empty());
  EXPECT_EQ(fileRules("globalDeny").size(), 1u);
}

TEST_F(RuleListTest, HostListImportThenBackShowsTheRulesOnce) {
  s.write(files::kPanelSettingsPath, {{"showAllowHelp", false}});
  s.writeBytes("/Applications/KestrixPanel.app/Lists/hosts.txt", "Ads.One.com\nads.two.com\n\r\n\x01");
  launch();
  auto* screen = openGlobal(true);
  clickNamed("importDeleteRow");
  answer(alert(text::kImportDeleteTitle), 1);
  auto* importer = topAs<KstGlobalImportViewController>();
  ASSERT_NE(importer, nullptr);
  QTRY_COMPARE(importer->fileNames(), QStringList({"hosts.txt"}));
  screenshot("host-list-import");
  clickRow(importer->table(), 0);
  answer(alert(text::kImportRulesQ), 0);  // Cancel
  EXPECT_FALSE(s.exists(files::kGlobalRulesPath));
  clickRow(importer->table(), 0);
  answer(alert(text::kImportRulesQ), 1);
  EXPECT_EQ(fileRules("globalDeny"), (std::vector<std::string>{"Ads.One.com", "ads.two.com", "\r", "\x01"}));
  clickRow(importer->table(), 0);
  answer(alert(text::kImportRulesQ), 1);
  EXPECT_EQ(fileRules("globalDeny").size(), 8u);
  clickBack();
  screen = topAs<KstRuleListViewController>();
  QTRY_COMPARE(rowTexts(screen->table()).size(), 4);
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 0);
}

TEST_F(RuleListTest, ApplicationListsWriteIntoTheApplicationsEntry) {
  s.addBundle("Mail", "com.example.mail", "Mail");
  s.write(files::kRulesPath, {{"com.example.mail", plist::Dictionary{{"allowEverything", "2"}}}});
  launch();
  auto* screen = openMailAllowRules();
  EXPECT_FALSE(find("importDeleteRow"));
  clickNamed("addRuleRow");
  uikit::Alert* a = alert(text::kCreateRule);
  QTest::keyClicks(a->textField(), "Cdn.Example.com");
  QTest::keyClick(a->textField(), Qt::Key_Return);
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"cdn.example.com"}));
  const plist::Dictionary entry = *s.read(files::kRulesPath)->dictionary("com.example.mail");
  EXPECT_EQ(*entry.string("allowEverything"), "2");
  ASSERT_EQ(entry.array("allow")->size(), 1u);
  EXPECT_EQ(*entry.array("allow")->at(0).asDictionary()->string("rule"), "cdn.example.com");
}

TEST_F(RuleListTest, LastUsedSortShowsWhatEachRuleDidAndTheEditAlertKeepsARuleForADay) {
  s.addBundle("Mail", "com.example.mail", "Mail");
  s.write(
      files::kRulesPath,
      {{"com.example.mail", plist::Dictionary{{"allow", plist::Array{ruleEntry("imap.example.com", 10),
                                                                     ruleEntry("cdn.example.com", 20),
                                                                     ruleEntry("smtp.example.com", 30)}}}}});
  RuleUsageTable counts;
  addRuleUse(counts, {std::string("com.example.mail"), false, "imap.example.com"},
             RuleUse{1234, plist::Date{787000000}});
  addRuleUse(counts, {std::string("com.example.mail"), false, "smtp.example.com"},
             RuleUse{1, plist::Date{786000000}});
  ASSERT_TRUE(writeRuleUsageFile(FileSystem::real(), s.path(files::kRuleUsagePath), counts));
  launch();
  auto* screen = openMailAllowRules();
  QTRY_COMPARE(rowTexts(screen->table()).size(), 3);

  clickNamed("sortByLastUseButton");
  EXPECT_FALSE(find("searchField"));
  QTRY_COMPARE(rowTexts(screen->table()),
               QStringList({"imap.example.com", "smtp.example.com", "cdn.example.com"}));
  const auto subtitle = [screen](int row) {
    return screen->table()->model()->index(row, 0).data(kSubtitleRole).toString();
  };
  EXPECT_TRUE(subtitle(0).startsWith("Used 1234 times, last ")) << subtitle(0).toStdString();
  EXPECT_TRUE(subtitle(1).startsWith("Used once, last ")) << subtitle(1).toStdString();
  EXPECT_EQ(subtitle(2), text::kNeverUsed);
  EXPECT_EQ(find("sortByLastUseButton")->accessibleName(), "Sort by Last used");
  screenshot("rule-list-last-used");

  // A tap outside edit mode opens the rule's edit alert.
  clickRow(screen->table(), 0);
  uikit::Alert* edit = alert(text::kEditRule);
  EXPECT_EQ(edit->message(), subtitle(0));
  EXPECT_EQ(edit->textField()->text(), "imap.example.com");
  ASSERT_NE(edit->choice(), nullptr);
  EXPECT_EQ(edit->choice()->accessibleName(), text::kKeepFor);
  EXPECT_EQ(edit->choice()->currentText(), text::kKeepAlways);
  edit->choice()->setCurrentIndex(edit->choice()->findText(text::kKeepOneDay));
  screenshot("rule-edit-alert");
  answer(edit, 1);
  const auto entryOf = [this](const std::string& rule) -> plist::Dictionary {
    const auto file = s.read(files::kRulesPath);
    for (const auto& v : *file->dictionary("com.example.mail")->array("allow")) {
      if (*v.asDictionary()->string("rule") == rule) return *v.asDictionary();
    }
    return {};
  };
  const plist::Dictionary imap = entryOf("imap.example.com");
  const plist::Value* expires = imap.find(files::kExpiresKey);
  ASSERT_NE(expires, nullptr);
  EXPECT_NEAR(expires->asDate()->secondsSinceReference, s.clock + 86400, 60);

  // Again: the expiry is offered as it is, first; Cancel changes nothing.
  QTRY_COMPARE(rowTexts(screen->table()).first(), QString("imap.example.com"));
  clickRow(screen->table(), 0);
  edit = alert(text::kEditRule);
  EXPECT_TRUE(edit->choice()->currentText().startsWith("Until "))
      << edit->choice()->currentText().toStdString();
  EXPECT_EQ(edit->choice()->count(), 5);
  answer(edit, 0);
  EXPECT_NE(entryOf("imap.example.com").find(files::kExpiresKey), nullptr);

  // The add alert offers the same choice; an hour is stored as an expiry.
  clickNamed("addRuleRow");
  uikit::Alert* add = alert(text::kCreateRule);
  ASSERT_NE(add->choice(), nullptr);
  QTest::keyClicks(add->textField(), "hour.example.com");
  add->choice()->setCurrentIndex(add->choice()->findText(text::kKeepOneHour));
  screenshot("rule-add-alert");
  answer(add, 1);
  const plist::Dictionary hourEntry = entryOf("hour.example.com");
  const plist::Value* hour = hourEntry.find(files::kExpiresKey);
  ASSERT_NE(hour, nullptr);
  EXPECT_NEAR(hour->asDate()->secondsSinceReference, s.clock + 3600, 60);
}

}  // namespace
}  // namespace kst::panel
