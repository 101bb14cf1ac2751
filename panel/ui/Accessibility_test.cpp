// The settings application as a person on a screen reader or on the keyboard
// uses it: every switch, row, list entry and alert reached and acted on only
// through its accessible interface or keys, and the files and notifications
// checked afterwards.
#include <QAccessible>

#include "panel/testing/PanelWidgetTesting.h"
#include "panel/ui/KstAppChooserControllerViewController.h"
#include "panel/ui/KstAppViewController.h"
#include "panel/ui/KstLogViewController.h"
#include "panel/ui/KstRuleListViewController.h"
#include "panel/ui/KstSettingsViewController.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Switch.h"

namespace kst::panel {
namespace {

using testing::PanelWidgetTest;
using testing::ruleEntry;

QAccessibleInterface* face(QObject* o) {
  return QAccessible::queryAccessibleInterface(o);
}

void act(QAccessibleInterface* i, const QString& action) {
  ASSERT_NE(i, nullptr);
  ASSERT_NE(i->actionInterface(), nullptr);
  ASSERT_TRUE(i->actionInterface()->actionNames().contains(action)) << action.toStdString();
  i->actionInterface()->doAction(action);
}

const QString& toggle() {
  static const QString name = QAccessibleActionInterface::toggleAction();
  return name;
}
const QString& press() {
  static const QString name = QAccessibleActionInterface::pressAction();
  return name;
}

class AccessibilityTest : public PanelWidgetTest {
 protected:
  template <typename T>
  T* pressNamed(const char* name) {
    act(face(find(name)), press());
    return topAs<T>();
  }
  QAccessibleInterface* switchFace(const char* name) { return face(top()->findChild<uikit::Switch*>(name)); }
  // The row of a table, as assistive tools find it: by its name.
  QAccessibleInterface* entry(uikit::TableView* table, const QString& name) {
    QAccessibleInterface* list = face(table);
    for (int i = 0; list != nullptr && i < list->childCount(); ++i)
      if (list->child(i)->text(QAccessible::Name) == name) return list->child(i);
    ADD_FAILURE() << "no entry " << name.toStdString();
    return nullptr;
  }
  // Escape typed on the screen on top (the keyboard somewhere in it).
  void escape() {
    QApplication::setActiveWindow(delegate->window());
    if (QApplication::focusWidget() == nullptr || !top()->isAncestorOf(QApplication::focusWidget()))
      top()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  }
  std::vector<std::string> globalDeny() {
    std::vector<std::string> out;
    const auto file = s.read(files::kGlobalRulesPath);
    if (!file || !file->array("globalDeny")) return out;
    for (const auto& v : *file->array("globalDeny")) out.push_back(*v.asDictionary()->string("rule"));
    return out;
  }
};

TEST_F(AccessibilityTest, EverySettingsSwitchIsStoredByItsToggleAsByAClick) {
  launch();
  auto* settings = pressNamed<KstSettingsViewController>("settingsButton");
  ASSERT_NE(settings, nullptr);
  QAccessibleInterface* log = switchFace("logSwitch");
  EXPECT_EQ(log->role(), QAccessible::CheckBox);
  EXPECT_EQ(log->text(QAccessible::Name), text::kLog);
  EXPECT_EQ(log->text(QAccessible::Description), text::kLogUnder);
  const struct {
    const char* name;
    const char* key;
    bool posts;
  } rows[] = {{"blockNonWiFiSwitch", "blockNonWiFi", true},
              {"respectGlobalSwitch", "respectGlobal", true},
              {"logSwitch", "log", true},
              {"playSoundSwitch", "playSoundInSleep", true},
              {"solidPopupSwitch", "solidPopup", false},
              {"advancedResolutionSwitch", "advancedHostnameResolution", true}};
  for (const auto& r : rows) {
    QAccessibleInterface* sw = switchFace(r.name);
    const bool was = sw->state().checked;
    const int before = notes.reloads();
    act(sw, toggle());
    EXPECT_NE(sw->state().checked, was) << r.name;
    ASSERT_TRUE(notes.settle());
    EXPECT_EQ(notes.reloads(), before + (r.posts ? 1 : 0)) << r.name;
    EXPECT_EQ(*s.read(files::kGlobalRulesPath)->find(r.key), plist::Value(!was)) << r.name;
    if (std::string(r.key) == "log") {
      // The alert that logging brings is read and answered on the bus too.
      uikit::Alert* a = alert(text::kPleaseRead);
      QAccessibleInterface* please = face(a);
      EXPECT_EQ(please->role(), QAccessible::AlertMessage);
      EXPECT_EQ(please->text(QAccessible::Description), text::kLoggingMessage);
      act(face(a->findChild<QPushButton*>("alertButton0")), press());
      QTRY_VERIFY(!alertShown(text::kPleaseRead));
    }
  }
  // The master switch: the marker file, then the notification.
  QAccessibleInterface* enabled = switchFace("enabledSwitch");
  EXPECT_EQ(enabled->text(QAccessible::Name), text::kEnabled);
  act(enabled, press());
  EXPECT_TRUE(s.exists(files::kDisabledMarkerPath));
  act(enabled, toggle());
  EXPECT_FALSE(s.exists(files::kDisabledMarkerPath));
  // Shown again, the screen reads back what was stored.
  act(face(find("backButton")), press());
  settings = pressNamed<KstSettingsViewController>("settingsButton");
  EXPECT_TRUE(switchFace("logSwitch")->state().checked);
  EXPECT_FALSE(switchFace("playSoundSwitch")->state().checked);
}

TEST_F(AccessibilityTest, RowsOpenByTheirPressAndEscapeGoesBack) {
  s.addBundle("Mail", "com.example.mail", "Mail");
  s.write(files::kRulesPath, {{"com.example.mail", plist::Dictionary{{"allowEverything", "1"}}}});
  launch();
  uikit::TableView* appRows = top()->findChild<uikit::TableView*>("table");
  QTRY_COMPARE(rowTexts(appRows), QStringList({"Mail"}));
  QAccessibleInterface* mail = entry(appRows, "Mail");
  EXPECT_EQ(mail->role(), QAccessible::ListItem);
  EXPECT_EQ(mail->text(QAccessible::Description), "com.example.mail");
  act(mail, press());
  auto* app = topAs<KstAppViewController>();
  ASSERT_NE(app, nullptr);
  QTRY_VERIFY(app->findChild<uikit::Switch*>("blockWiFiSwitch")->isEnabled());

  // The application's switches, the one in the title bar among them.
  const auto stored = [&] { return *s.read(files::kRulesPath)->dictionary("com.example.mail"); };
  QAccessibleInterface* denyAll = switchFace("denyAllSwitch");
  EXPECT_TRUE(denyAll->state().disabled) << "locked while Allow All is on";
  act(denyAll, toggle());
  EXPECT_FALSE(denyAll->state().checked) << "a locked switch does not move";
  EXPECT_EQ(*stored().string("allowEverything"), "1");
  act(switchFace("allowAllSwitch"), toggle());
  EXPECT_EQ(*stored().string("allowEverything"), "");
  act(switchFace("denyAllSwitch"), toggle());
  EXPECT_EQ(*stored().string("allowEverything"), "2");
  act(switchFace("blockWiFiSwitch"), toggle());
  EXPECT_EQ(*stored().find("blockSpecificWiFi"), plist::Value(true));
  QAccessibleInterface* enabled = face(app->enabledSwitch());
  EXPECT_EQ(enabled->text(QAccessible::Name), "Enabled");
  act(enabled, toggle());
  EXPECT_EQ(*stored().find("enabled"), plist::Value(false));
  act(enabled, toggle());
  EXPECT_EQ(*stored().find("enabled"), plist::Value(true));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 1) << "switched on once";

  QAccessibleInterface* allowRules = face(find("allowRulesRow"));
  EXPECT_EQ(allowRules->role(), QAccessible::Button);
  EXPECT_EQ(allowRules->text(QAccessible::Name), text::kAlwaysAllowRules);
  EXPECT_EQ(allowRules->text(QAccessible::Description), text::kConnectionsAllowed);
  act(allowRules, press());
  ASSERT_NE(topAs<KstRuleListViewController>(), nullptr);
  // Escape is Back, screen by screen.
  escape();
  ASSERT_NE(topAs<KstAppViewController>(), nullptr);
  escape();
  ASSERT_NE(topAs<KstMainViewController>(), nullptr);
  escape();
  EXPECT_NE(topAs<KstMainViewController>(), nullptr) << "the first screen has no Back";
  // The chooser, shown over the list without Back, closes on Escape as on
  // its Done button, adding nothing.
  const plist::Dictionary before = *s.read(files::kRulesPath);
  act(face(find("addButton")), press());
  ASSERT_NE(topAs<KstAppChooserControllerViewController>(), nullptr);
  escape();
  ASSERT_NE(topAs<KstMainViewController>(), nullptr);
  EXPECT_EQ(*s.read(files::kRulesPath), before) << "nothing added";

  pressNamed<KstSettingsViewController>("settingsButton");
  ASSERT_NE(pressNamed<KstLogViewController>("logSwitchRow"), nullptr);
}

TEST_F(AccessibilityTest, RuleEntriesAreDeletedAndSortedThroughTheirActions) {
  s.write(files::kPanelSettingsPath, {{"showAllowHelp", false}});
  s.write(files::kGlobalRulesPath,
          {{"globalDeny", plist::Array{ruleEntry("tracker.net", 10), ruleEntry("ads.com", 20),
                                       ruleEntry("cdn.example.com", 30)}}});
  launch();
  auto* screen = pressNamed<KstRuleListViewController>("globalDenyRow");
  ASSERT_NE(screen, nullptr);
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"ads.com", "cdn.example.com", "tracker.net"}));
  QAccessibleInterface* ads = entry(screen->table(), "ads.com");
  EXPECT_FALSE(ads->text(QAccessible::Description).isEmpty()) << "the date is read with the rule";
  EXPECT_EQ(ads->actionInterface()->keyBindingsForAction("Delete"), QStringList({"Delete"}));
  act(ads, "Delete");
  EXPECT_EQ(globalDeny(), (std::vector<std::string>{"cdn.example.com", "tracker.net"}));
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"cdn.example.com", "tracker.net"}));
  EXPECT_EQ(face(screen->table())->childCount(), 2);

  // The sort control: each choice a button of its own, the chosen one checked.
  QAccessibleInterface* byName = face(find("sortByNameButton"));
  QAccessibleInterface* byDate = face(find("sortByDateButton"));
  EXPECT_TRUE(byName->state().checked);
  EXPECT_FALSE(byDate->state().checked);
  act(byDate, press());
  EXPECT_TRUE(byDate->state().checked);
  EXPECT_FALSE(byName->state().checked);
  QTRY_COMPARE(rowTexts(screen->table()), QStringList({"cdn.example.com", "tracker.net"}));
  EXPECT_EQ(face(screen->table())->child(0)->text(QAccessible::Name), "cdn.example.com") << "newest first";
}

TEST_F(AccessibilityTest, AScreenBeingLeftTakesNoAction) {
  launch();
  pressNamed<KstSettingsViewController>("settingsButton");
  uikit::Switch* log = top()->findChild<uikit::Switch*>("logSwitch");
  const QAccessible::Id id = QAccessible::uniqueId(face(log));
  act(face(find("backButton")), press());
  ASSERT_NE(topAs<KstMainViewController>(), nullptr);
  // The popped screen is still there, hidden, until the event loop deletes it.
  QAccessibleInterface* left = QAccessible::accessibleInterface(id);
  ASSERT_NE(left, nullptr);
  EXPECT_FALSE(log->isVisible());
  act(left, toggle());
  QApplication::processEvents();
  const auto file = s.read(files::kGlobalRulesPath);
  EXPECT_TRUE(!file || !file->contains("log")) << "nothing stored from a screen that has gone";
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 0);
  QTRY_VERIFY(QAccessible::accessibleInterface(id) == nullptr);
}

TEST_F(AccessibilityTest, TheKeyboardAloneFlipsASwitchWithTheFocusShown) {
  launch();
  QApplication::setActiveWindow(delegate->window());
  find("settingsButton")->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  auto* settings = topAs<KstSettingsViewController>();
  ASSERT_NE(settings, nullptr);
  QWidget* row = find("documentationRow");
  QWidget* sw = find("blockNonWiFiSwitch");
  for (int i = 0; i < 20 && QApplication::focusWidget() != row; ++i)
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : top(), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), row) << "Tab reaches the rows";
  EXPECT_TRUE(face(row)->state().focused);
  screenshot("settings-focus-ring");
  for (int i = 0; i < 5 && QApplication::focusWidget() != sw; ++i)
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), sw);
  QTest::keyClick(sw, Qt::Key_Space);
  EXPECT_EQ(*s.read(files::kGlobalRulesPath)->find("blockNonWiFi"), plist::Value(true));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  EXPECT_NE(topAs<KstMainViewController>(), nullptr);
}

}  // namespace
}  // namespace kst::panel
