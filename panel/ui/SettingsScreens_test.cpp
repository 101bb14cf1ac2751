#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBrowser>
#include <filesystem>

#include "panel/testing/PanelWidgetTesting.h"
#include "panel/ui/KstImportViewControllers.h"
#include "panel/ui/KstLogViewController.h"
#include "panel/ui/KstSettingsViewController.h"
#include "panel/ui/KstWebViewController.h"
#include "panel/ui/PanelTexts.h"
#include "platform/fs/Utf16File.h"
#include "platform/uikit/Switch.h"

namespace kst::panel {
namespace {

using testing::PanelWidgetTest;

class SettingsScreensTest : public PanelWidgetTest {
 protected:
  KstSettingsViewController* openSettings() {
    clickNamed("settingsButton");
    return topAs<KstSettingsViewController>();
  }
  uikit::Switch* sw(const char* name) { return top()->findChild<uikit::Switch*>(name); }
  void tapRow(const char* name) {
    auto* row = top()->findChild<uikit::TableRow*>(name);
    ASSERT_NE(row, nullptr) << name;
    QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(40, 25));
  }
  static std::string settingsFolder() { return std::string(ImportExport::kSettingsFolder); }
};

TEST_F(SettingsScreensTest, EverySwitchButSolidPopupPostsOnceAndLogAsksToRead) {
  launch();
  openSettings();
  EXPECT_TRUE(sw("enabledSwitch")->isOn());
  EXPECT_TRUE(sw("playSoundSwitch")->isOn());
  for (const char* name : {"blockNonWiFiSwitch", "respectGlobalSwitch", "logSwitch", "solidPopupSwitch",
                           "advancedResolutionSwitch"}) {
    EXPECT_FALSE(sw(name)->isOn()) << name;
  }
  screenshot("settings");
  const struct {
    const char* name;
    const char* key;
    bool posts;
  } rows[] = {{"blockNonWiFiSwitch", "blockNonWiFi", true},
              {"respectGlobalSwitch", "respectGlobal", true},
              {"playSoundSwitch", "playSoundInSleep", true},
              {"solidPopupSwitch", "solidPopup", false},
              {"advancedResolutionSwitch", "advancedHostnameResolution", true}};
  for (const auto& r : rows) {
    const int before = notes.reloads();
    const bool was = sw(r.name)->isOn();
    click(sw(r.name));
    ASSERT_TRUE(notes.settle());
    EXPECT_EQ(notes.reloads(), before + (r.posts ? 1 : 0)) << r.name;
    EXPECT_EQ(*s.read(files::kGlobalRulesPath)->find(r.key), plist::Value(!was)) << r.name;
  }
  click(sw("logSwitch"));
  answer(alert(text::kPleaseRead), 0);
  click(sw("logSwitch"));
  QTest::qWait(30);
  EXPECT_FALSE(alertShown(text::kPleaseRead)) << "only switching on asks";
  EXPECT_EQ(*s.read(files::kGlobalRulesPath)->find("log"), plist::Value(false));
  const int before = notes.reloads();
  click(sw("enabledSwitch"));
  EXPECT_TRUE(s.exists(files::kDisabledMarkerPath));
  click(sw("enabledSwitch"));
  EXPECT_FALSE(s.exists(files::kDisabledMarkerPath));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), before + 2);
}

TEST_F(SettingsScreensTest, DeleteAllAfterYesResetsBothFilesAndTheSwitches) {
  s.write(files::kRulesPath, {{"com.a", plist::Dictionary{}}});
  s.write(files::kGlobalRulesPath, {{"playSoundInSleep", false}, {"log", true}});
  launch();
  openSettings();
  EXPECT_FALSE(sw("playSoundSwitch")->isOn());
  tapRow("deleteAllRow");
  answer(alert(text::kDeleteAllRules), 0);
  EXPECT_TRUE(s.read(files::kRulesPath)->contains("com.a"));
  tapRow("deleteAllRow");
  answer(alert(text::kDeleteAllRules), 1);
  const plist::Dictionary onlyMarker{{"150", true}};
  EXPECT_EQ(s.read(files::kRulesPath), onlyMarker);
  EXPECT_EQ(s.read(files::kGlobalRulesPath), onlyMarker);
  EXPECT_TRUE(sw("playSoundSwitch")->isOn());
  EXPECT_FALSE(sw("logSwitch")->isOn());
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 1);
}

TEST_F(SettingsScreensTest, LogShowsUtf16TextRefusesOtherBytesAndTrashDeletes) {
  launch();
  openSettings();
  tapRow("logSwitchRow");
  auto* log = topAs<KstLogViewController>();
  EXPECT_EQ(log->textView()->toPlainText(), text::kNoContent);
  clickBack();
  topAs<KstSettingsViewController>();
  s.writeBytes(files::kLogPath, *utf16::encode("12:00:01 Mail allowed ads.example.com:443 \u00e9\n"));
  tapRow("logSwitchRow");
  log = topAs<KstLogViewController>();
  EXPECT_EQ(log->textView()->toPlainText(), "12:00:01 Mail allowed ads.example.com:443 \u00e9\n");
  screenshot("log");
  clickNamed("trashButton");
  EXPECT_FALSE(s.exists(files::kLogPath));
  EXPECT_EQ(log->textView()->toPlainText(), text::kNoContent);
  clickBack();
  topAs<KstSettingsViewController>();
  s.writeBytes(files::kLogPath, "plain bytes, no mark\x01");
  tapRow("logSwitchRow");
  log = topAs<KstLogViewController>();
  EXPECT_EQ(log->textView()->toPlainText(), text::kNoContent);
  EXPECT_TRUE(s.exists(files::kLogPath)) << "only trash deletes";
}

TEST_F(SettingsScreensTest, DocumentationPageAndTheSupportLink) {
  // The page as the install step lays it out.
  std::filesystem::create_directories(
      std::filesystem::path(context.documentationUrl.toLocalFile().toStdString()).parent_path());
  std::filesystem::copy_file(KST_DOCUMENTATION_PAGE, context.documentationUrl.toLocalFile().toStdString());
  launch();
  openSettings();
  tapRow("documentationRow");
  auto* web = topAs<KstWebViewController>();
  ASSERT_NE(web, nullptr);
  QTRY_VERIFY(web->webView()->toPlainText().contains("Using Kestrix"));
  screenshot("documentation");
  EXPECT_TRUE(web->shouldStartLoad(QUrl("mailto:someone@example.org")));
  EXPECT_FALSE(alertShown(text::kTroubleshootingTitle));
  EXPECT_FALSE(web->shouldStartLoad(QUrl("MAILTO:SUPPORT@KESTRIX.INVALID")));
  uikit::Alert* a = alert(text::kTroubleshootingTitle);
  answer(a, 1);  // Read First
  EXPECT_TRUE(opened.empty());
  // The page's own link, clicked.
  emit web->webView()->anchorClicked(QUrl("mailto:support@kestrix.invalid"));
  answer(alert(text::kTroubleshootingTitle), 0);  // Email
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(
      opened[0].toEncoded().startsWith("mailto://support@kestrix.invalid?subject=Kestrix%20Help&body=Please"))
      << opened[0].toEncoded().toStdString();
}

TEST_F(SettingsScreensTest, RemoteDocumentationNeedsTheNetwork) {
  context.documentationUrl = QUrl("http://docs.example/Kestrix7/moreInfo/firewall.html");
  reachability = 0;
  launch();
  openSettings();
  tapRow("documentationRow");
  answer(alert(text::kNoInternetTitle), 0);
  EXPECT_TRUE(qobject_cast<KstSettingsViewController*>(top()) != nullptr) << "nothing opened";
}

TEST_F(SettingsScreensTest, ExportImportRoundTripThroughTheScreen) {
  std::filesystem::create_directories(s.path("/var/mobile/Library/Preferences/Kst"));
  const plist::Dictionary rules{{"150", true}, {"com.a", plist::Dictionary{{"enabled", false}}}};
  s.write(files::kRulesPath, rules);
  s.write(settingsFolder() + "odd.plist", {{"appRules", "text"}});
  launch();
  openSettings();
  tapRow("importExportRow");
  auto* io = topAs<KstImportExportViewController>();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->fileNames(), QStringList({"odd.plist"}));
  clickNamed("exportButton");
  QTRY_COMPARE(io->fileNames().size(), 2);
  screenshot("import-export");
  QString exported;
  for (const QString& n : io->fileNames()) {
    if (n.startsWith("KstSettings-")) exported = n;
  }
  ASSERT_FALSE(exported.isEmpty());
  // The rules change, then the export comes back.
  s.write(files::kRulesPath, {{"com.b", plist::Dictionary{}}});
  clickRow(io->table(), static_cast<int>(io->fileNames().indexOf(exported)));
  uikit::Alert* a = alert(QString(text::kImportSettingsQ).arg(exported));
  EXPECT_EQ(a->message(), exported);
  answer(a, 1);
  EXPECT_EQ(s.read(files::kRulesPath), rules);
  // A file whose value is not a dictionary changes nothing.
  clickRow(io->table(), static_cast<int>(io->fileNames().indexOf("odd.plist")));
  answer(alert(QString(text::kImportSettingsQ).arg("odd.plist")), 1);
  EXPECT_EQ(s.read(files::kRulesPath), rules);
  // Deleting a file with the row's delete action.
  io->table()->setCurrentIndex(
      io->table()->model()->index(static_cast<int>(io->fileNames().indexOf("odd.plist")), 0));
  QTest::keyClick(io->table(), Qt::Key_Delete);
  EXPECT_EQ(io->fileNames(), QStringList({exported}));
  EXPECT_FALSE(s.exists(settingsFolder() + "odd.plist"));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 0);
}

// Every subtitle of the settings shows whole: on one or two lines inside
// its row, never cut mid-word.
TEST_F(SettingsScreensTest, EverySubtitleShowsWholeInsideItsRow) {
  launch();
  openSettings();
  const auto rows = top()->findChildren<uikit::TableRow*>();
  ASSERT_FALSE(rows.isEmpty());
  for (const uikit::TableRow* row : rows) {
    const auto* label = row->findChild<QLabel*>("rowSubtitle");
    if (label == nullptr || row->subtitle().isEmpty()) continue;
    SCOPED_TRACE(row->subtitle().toStdString());
    EXPECT_EQ(label->text().replace('\n', ' '), row->subtitle());
    EXPECT_TRUE(row->rect().contains(label->geometry()));
    const QFontMetrics metrics(label->font());
    for (const QString& line : label->text().split('\n'))
      EXPECT_LE(metrics.horizontalAdvance(line), label->width());
  }
}

}  // namespace
}  // namespace kst::panel
