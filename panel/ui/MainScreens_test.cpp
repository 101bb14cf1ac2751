#include <QSignalSpy>

#include "panel/testing/PanelWidgetTesting.h"
#include "panel/ui/KstAppChooserControllerViewController.h"
#include "panel/ui/KstAppViewController.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Switch.h"

namespace kst::panel {
namespace {

using testing::PanelWidgetTest;

class MainScreensTest : public PanelWidgetTest {
 protected:
  void installApps() {
    s.addBundle("Mail", "com.example.mail", "Mail");
    s.addBundle("Maps", "com.example.maps", "Maps");
    s.addBundle("Gmail", "com.example.gmail", "Gmail Client");
    s.addBundle("Board", "com.apple.springboard", "SpringBoard");
    QImage icon(64, 64, QImage::Format_ARGB32);
    icon.fill(QColor(220, 120, 40));
    icon.save(QString::fromStdString(s.path("/Applications/Mail.app/icon.png")));
  }
  uikit::TableView* appTable() { return top()->findChild<uikit::TableView*>("table"); }
};

TEST_F(MainScreensTest, StartUpAlertsDisabledEveryTimeIntroductionOnce) {
  s.writeBytes(files::kDisabledMarkerPath, "");
  launch(/*introSeen=*/false);
  uikit::Alert* disabled = alert(text::kDisabledTitle);
  EXPECT_EQ(disabled->message(), text::kDisabledMessage);
  uikit::Alert* intro = alert(text::kIntroTitle);
  EXPECT_EQ(intro->buttonTitles(), QStringList({text::kNo, text::kYesOfCourse}));
  EXPECT_EQ(UserDefaults(s.store).objectForKey(UserDefaults::kShownIntroductionAlertKey),
            plist::Value("asdf"));
  screenshot("startup-alerts");
  answer(intro, 1);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], context.documentationUrl);
  answer(disabled, 0);
  // Shown again: the introduction does not come back.
  clickNamed("settingsButton");
  topAs<KstScreen>();
  clickBack();
  auto* main = topAs<KstMainViewController>();
  ASSERT_NE(main, nullptr);
  QTest::qWait(50);
  EXPECT_FALSE(alertShown(text::kIntroTitle));
  delegate.reset();
  // A new start with the marker: the "Attention!" alert again, no introduction.
  launch(false);
  alert(text::kDisabledTitle);
  QTest::qWait(50);
  EXPECT_FALSE(alertShown(text::kIntroTitle));
}

TEST_F(MainScreensTest, ListSearchDeleteAndIcons) {
  installApps();
  s.write(files::kRulesPath, {{"150", true},
                              {"com.example.mail", plist::Dictionary{}},
                              {"com.example.maps", plist::Dictionary{}},
                              {"com.example.gmail", plist::Dictionary{}},
                              {"com.example.uninstalled", plist::Dictionary{}},
                              {"com.apple.WebKit.Networking", plist::Dictionary{}}});
  launch();
  uikit::TableView* table = appTable();
  QTRY_COMPARE(rowTexts(table), QStringList({"Gmail Client", "Mail", "Maps", "WebKit Networking"}));
  EXPECT_FALSE(s.read(files::kRulesPath)->contains("com.example.uninstalled"));
  // The icon arrives from the worker and replaces the placeholder.
  QTRY_VERIFY(apps.hasCachedIconOfSize(29, "com.example.mail"));
  QTRY_COMPARE(table->model()->index(1, 0).data(Qt::DecorationRole).value<QImage>().pixelColor(14, 14),
               QColor(220, 120, 40));
  screenshot("main-list");

  QTest::keyClicks(find<QLineEdit>("searchField"), "MAIL");
  QTRY_COMPARE(rowTexts(table), QStringList({"Gmail Client", "Mail"}));
  EXPECT_FALSE(find("globalAllowRow")) << "results take the whole table";
  table->setCurrentIndex(table->model()->index(0, 0));
  QTest::keyClick(table, Qt::Key_Delete);
  QTRY_COMPARE(rowTexts(table), QStringList({"Mail"}));
  EXPECT_FALSE(s.read(files::kRulesPath)->contains("com.example.gmail"));
  find<QLineEdit>("searchField")->clear();
  QTRY_COMPARE(rowTexts(table), QStringList({"Mail", "Maps", "WebKit Networking"}));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads() + notes.hookLates(), 0) << "the list posts nothing";
}

TEST_F(MainScreensTest, ChooserAddsAnApplicationAndNeverOffersSpringBoard) {
  installApps();
  s.write(files::kRulesPath, {{"150", true}, {"com.example.maps", plist::Dictionary{}}});
  launch();
  clickNamed("addButton");
  auto* chooser = topAs<KstAppChooserControllerViewController>();
  ASSERT_NE(chooser, nullptr);
  uikit::TableView* table = chooser->findChild<uikit::TableView*>("table");
  QTRY_COMPARE(rowTexts(table), QStringList({"GameCenterDaemon", "Gmail Client", "Mail", "WebKit Content",
                                             "WebKit Networking"}));
  screenshot("chooser");
  clickRow(table, 2);
  auto* main = topAs<KstMainViewController>();
  ASSERT_NE(main, nullptr);
  QTRY_COMPARE(rowTexts(appTable()), QStringList({"Mail", "Maps"}));
  EXPECT_EQ(
      *s.read(files::kRulesPath)->dictionary("com.example.mail"),
      (plist::Dictionary{{"allow", plist::Array{}}, {"deny", plist::Array{}}, {"allowEverything", ""}}));
  // The accept button closes without adding.
  clickNamed("addButton");
  topAs<KstAppChooserControllerViewController>();
  clickNamed("doneButton");
  topAs<KstMainViewController>();
  EXPECT_EQ(s.read(files::kRulesPath)->size(), 3u);
}

TEST_F(MainScreensTest, ApplicationScreenInterlockAndHookLate) {
  installApps();
  s.write(files::kRulesPath,
          {{"com.example.mail", plist::Dictionary{{"allowEverything", "1"}, {"stillUseRules", true}}}});
  launch();
  QTRY_COMPARE(rowTexts(appTable()), QStringList({"Mail"}));
  clickRow(appTable(), 0);
  auto* screen = topAs<KstAppViewController>();
  ASSERT_NE(screen, nullptr);
  auto sw = [&](const char* name) { return screen->findChild<uikit::Switch*>(name); };
  QTRY_VERIFY(sw("blockWiFiSwitch")->isEnabled());
  EXPECT_TRUE(sw("allowAllSwitch")->isOn());
  EXPECT_FALSE(sw("denyAllSwitch")->isEnabled()) << "locked while Allow All is on";
  EXPECT_TRUE(sw("stillApplySwitch")->isOn());
  screenshot("app-screen");
  click(sw("denyAllSwitch"));
  EXPECT_FALSE(sw("denyAllSwitch")->isOn());
  click(sw("allowAllSwitch"));
  EXPECT_TRUE(sw("denyAllSwitch")->isEnabled());
  EXPECT_FALSE(sw("stillApplySwitch")->isOn());
  EXPECT_FALSE(sw("stillApplySwitch")->isEnabled());
  auto entry = [&] { return *s.read(files::kRulesPath)->dictionary("com.example.mail"); };
  EXPECT_EQ(*entry().string("allowEverything"), "");
  EXPECT_EQ(*entry().find("stillUseRules"), plist::Value(false));
  click(sw("denyAllSwitch"));
  EXPECT_EQ(*entry().string("allowEverything"), "2");
  EXPECT_FALSE(sw("allowAllSwitch")->isEnabled());
  click(sw("blockWiFiSwitch"));
  EXPECT_EQ(*entry().find("blockSpecificWiFi"), plist::Value(true));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 0);
  click(screen->enabledSwitch());
  EXPECT_EQ(*entry().find("enabled"), plist::Value(false));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 0) << "switching off posts nothing";
  click(screen->enabledSwitch());
  EXPECT_EQ(*entry().find("enabled"), plist::Value(true));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 1);
  EXPECT_EQ(notes.reloads(), 0);
}

}  // namespace
}  // namespace kst::panel
