#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "panel/store/UserDefaults.h"
#include "panel/testing/PanelTesting.h"
#include "panel/ui/KstAppDelegate.h"
#include "panel/ui/KstMainViewController.h"
#include "panel/ui/KstScreen.h"
#include "platform/uikit/Alert.h"
#include "platform/uikit/TableRow.h"
#include "platform/uikit/TableView.h"

namespace kst::panel::testing {

// The whole application on a fresh device root, driven as a person would:
// clicks on named widgets, typing, the alerts' buttons. Screenshots go to
// KST_SCREENSHOT_DIR.
class PanelWidgetTest : public ::testing::Test {
 protected:
  PanelFixtureState s;
  NotificationCounter notes{s.center};
  std::shared_ptr<applist::ApplicationCatalogue> catalogue = std::make_shared<applist::ApplicationCatalogue>(
      s.root.root(), std::vector<std::string>{s.root.dir() + "/xdg"});
  applist::ALApplicationList apps{catalogue};
  int reachability = 1;
  std::vector<QUrl> opened;
  PanelContext context{s.store, apps, [this] { return reachability; },
                       [this](const QUrl& u) { opened.push_back(u); },
                       QUrl::fromLocalFile(QString::fromStdString(s.path("/Applications/KestrixPanel.app/"
                                                                         "Documentation/firewall.html")))};
  std::unique_ptr<KstAppDelegate> delegate;

  void TearDown() override {
    for (uikit::Alert* a : uikit::Alert::visibleAlerts()) a->dismissWithButtonIndex(0);
    delegate.reset();
    QApplication::processEvents();
  }

  // Starts the application; the introduction alert is taken as already
  // seen unless asked for.
  void launch(bool introSeen = true) {
    if (introSeen) UserDefaults(s.store).setObject(UserDefaults::kShownIntroductionAlertKey, "asdf");
    delegate = std::make_unique<KstAppDelegate>(context);
    delegate->didFinishLaunching();
    QApplication::setActiveWindow(delegate->window());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(delegate->window()));
  }

  uikit::ViewController* top() const { return delegate->navigationStack()->top(); }
  template <typename T>
  T* topAs() {
    T* screen = nullptr;
    [&] { QTRY_VERIFY_WITH_TIMEOUT((screen = qobject_cast<T*>(top())) != nullptr, 10000); }();
    return screen;
  }
  template <typename T = QWidget>
  T* find(const char* name) const {
    for (T* w : top()->findChildren<T*>(name)) {
      if (w->isVisible()) return w;
    }
    return nullptr;
  }
  void click(QWidget* w) {
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(std::min(40, w->width() / 2), w->height() / 2));
  }
  void clickNamed(const char* name) { click(find(name)); }
  void clickBack() { click(top()->findChild<QWidget*>("backButton")); }
  void clickRow(uikit::TableView* table, int row) {
    ASSERT_NE(table, nullptr);
    const QRect r = table->visualRect(table->model()->index(row, 0));
    ASSERT_TRUE(r.isValid()) << "row " << row;
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, r.center());
  }
  QStringList rowTexts(uikit::TableView* table) const {
    QStringList out;
    for (int i = 0; i < table->model()->rowCount(); ++i) out << table->model()->index(i, 0).data().toString();
    return out;
  }
  // The newest alert on screen with that title (waits for it).
  uikit::Alert* alert(const QString& title) {
    uikit::Alert* found = nullptr;
    const auto look = [&] {
      for (uikit::Alert* a : uikit::Alert::visibleAlerts()) {
        if (a->title() == title) found = a;
      }
      return found != nullptr;
    };
    [&] { QTRY_VERIFY_WITH_TIMEOUT(look(), 10000); }();
    return found;
  }
  bool alertShown(const QString& title) const {
    for (uikit::Alert* a : uikit::Alert::visibleAlerts()) {
      if (a->title() == title) return true;
    }
    return false;
  }
  void answer(uikit::Alert* a, int index) {
    ASSERT_NE(a, nullptr);
    click(a->findChild<QPushButton*>(QStringLiteral("alertButton%1").arg(index)));
  }
  void screenshot(const QString& name) {
    QApplication::processEvents();
    const QString dir = QStringLiteral(KST_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    QPixmap shot = delegate->window()->grab();
    // Alerts are windows of their own: drawn over the screen where they stand.
    QPainter p(&shot);
    for (uikit::Alert* a : uikit::Alert::visibleAlerts()) {
      const QPoint at = delegate->window()->mapFromGlobal(a->pos());
      p.fillRect(shot.rect(), QColor(0, 0, 0, 60));
      p.drawPixmap(at, a->grab());
    }
    p.end();
    EXPECT_TRUE(shot.save(dir + "/" + name + ".png"));
  }
};

}  // namespace kst::panel::testing
