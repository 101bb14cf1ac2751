// The settings application against a running program: a rule added in the
// panel refuses the program's next connection once the panel has posted the
// reload notification, without the program being started again.

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include "panel/store/UserDefaults.h"
#include "panel/ui/KstAppDelegate.h"
#include "panel/ui/KstRuleListViewController.h"
#include "panel/ui/KstSettingsViewController.h"
#include "panel/ui/PanelTexts.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/uikit/Alert.h"
#include "platform/uikit/Switch.h"
#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

class PanelE2eTest : public E2eTest {
 protected:
  void TearDown() override {
    for (uikit::Alert* a : uikit::Alert::visibleAlerts()) a->dismissWithButtonIndex(0);
    delegate_.reset();
    QApplication::processEvents();
    E2eTest::TearDown();
  }

  // The panel on the test device.
  void startPanel() {
    center_ = std::make_unique<DarwinNotifyCenter>(DeviceRoot(temp_.dir()));
    store_ = std::make_unique<panel::PanelStore>(
        FileSystem::real(), DeviceRoot(temp_.dir()), [this](std::string_view n) { center_->post(n); },
        [] { return plist::Date::now(); });
    catalogue_ =
        std::make_shared<applist::ApplicationCatalogue>(DeviceRoot(temp_.dir()), std::vector<std::string>{});
    apps_ = std::make_unique<applist::ALApplicationList>(catalogue_);
    context_ = std::make_unique<panel::PanelContext>(panel::PanelContext{
        *store_, *apps_, [] { return 1; }, [](const QUrl&) {}, QUrl::fromLocalFile("/nonexistent")});
    panel::UserDefaults(*store_).setObject(panel::UserDefaults::kShownIntroductionAlertKey, "asdf");
    plist::writeDictionaryFile(FileSystem::real(), temp_.path(files::kPanelSettingsPath),
                               {{"showAllowHelp", false}, {"didShowEditAlert", true}}, true);
    delegate_ = std::make_unique<panel::KstAppDelegate>(*context_);
    delegate_->didFinishLaunching();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(delegate_->window()));
  }
  QWidget* find(const char* name) {
    QWidget* top = delegate_->navigationStack()->top();
    for (QWidget* w : top->findChildren<QWidget*>(name)) {
      if (w->isVisible()) return w;
    }
    return nullptr;
  }
  void click(QWidget* w) {
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(std::min(40, w->width() / 2), w->height() / 2));
  }
  template <typename T>
  T* waitTop() {
    T* screen = nullptr;
    [&] {
      QTRY_VERIFY_WITH_TIMEOUT((screen = qobject_cast<T*>(delegate_->navigationStack()->top())) != nullptr,
                               10000);
    }();
    return screen;
  }
  uikit::Alert* waitAlert(const QString& title) {
    uikit::Alert* found = nullptr;
    [&] {
      QTRY_VERIFY_WITH_TIMEOUT(
          [&] {
            for (uikit::Alert* a : uikit::Alert::visibleAlerts()) {
              if (a->title() == title) found = a;
            }
            return found != nullptr;
          }(),
          10000);
    }();
    return found;
  }

  Server tracker_{kTrackerIp};
  std::unique_ptr<DarwinNotifyCenter> center_;
  std::unique_ptr<panel::PanelStore> store_;
  std::shared_ptr<applist::ApplicationCatalogue> catalogue_;
  std::unique_ptr<applist::ALApplicationList> apps_;
  std::unique_ptr<panel::PanelContext> context_;
  std::unique_ptr<panel::KstAppDelegate> delegate_;
};

TEST_F(PanelE2eTest, AGlobalDenyRuleAddedInThePanelRefusesTheRunningProgramAfterTheReload) {
  ASSERT_TRUE(tracker_.ok());
  writeApp(kApp, plist::Dictionary{});
  Process app(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kTrackerIp, tracker_.port()}), env(),
              temp_.dir() + "/app.out", temp_.dir() + "/app.err");
  app.writeLine("go");
  ASSERT_TRUE(waitFor([&] { return lines("app.out").size() == 1; })) << text("app.err");
  EXPECT_EQ(lines("app.out")[0], "tcp" + kOk) << "no rule yet";

  startPanel();
  // The person adds the host to the global deny list...
  click(find("globalDenyRow"));
  waitTop<panel::KstRuleListViewController>();
  click(find("addRuleRow"));
  uikit::Alert* add = waitAlert(panel::text::kCreateGlobalRule);
  QTest::keyClicks(add->textField(), kTrackerName);
  click(add->findChild<QPushButton*>("alertButton1"));
  click(find("backButton"));
  // ...and switches logging on, which tells every hooked program to reload.
  click(find("settingsButton"));
  waitTop<panel::KstSettingsViewController>();
  click(find("logSwitch"));
  click(waitAlert(panel::text::kPleaseRead)->findChild<QPushButton*>("alertButton0"));

  // The reload arrives on the program's own thread: attempt until refused.
  bool refused = false;
  for (std::size_t attempts = 2; attempts < 200 && !refused; ++attempts) {
    app.writeLine("go");
    ASSERT_TRUE(waitFor([&] { return lines("app.out").size() == attempts; })) << text("app.err");
    refused = lines("app.out").back() == "tcp" + kRefused;
    if (!refused) QTest::qWait(50);
  }
  EXPECT_TRUE(refused) << text("app.out");
  app.closeInput();
  EXPECT_EQ(app.wait(), 0) << "the same program, never restarted";
}

}  // namespace
}  // namespace kst::e2e
