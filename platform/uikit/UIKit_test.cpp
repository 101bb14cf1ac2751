#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTest>
#include <QTimer>

#include "platform/uikit/Alert.h"
#include "platform/uikit/FittedText.h"
#include "platform/uikit/NavigationStack.h"
#include "platform/uikit/Switch.h"
#include "platform/uikit/TableRow.h"
#include "platform/uikit/TableView.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {
namespace {

TEST(SwitchTest, AClickFlipsAndReportsButCodeChangesAreSilent) {
  Switch s;
  s.show();
  QSignalSpy spy(&s, &Switch::valueChanged);
  QTest::mouseClick(&s, Qt::LeftButton);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_TRUE(spy.takeFirst().at(0).toBool());
  EXPECT_TRUE(s.isOn());
  s.setOn(false);
  EXPECT_FALSE(s.isOn());
  EXPECT_EQ(spy.count(), 0);
  s.setEnabled(false);
  QTest::mouseClick(&s, Qt::LeftButton);
  EXPECT_EQ(spy.count(), 0) << "a locked switch does not move";
}

TEST(AlertTest, ButtonsCarryTheirIndexesAndEscapeIsCancel) {
  QWidget host;
  host.show();
  auto* a = new Alert("Title", "Message", "Cancel", {"OK", "Other"}, &host);
  QLineEdit* field = a->addTextField();
  QSignalSpy spy(a, &Alert::dismissedWithButtonIndex);
  a->show();
  ASSERT_EQ(Alert::visibleAlerts().size(), 1);
  QTest::keyClicks(field, "typed");
  QTest::mouseClick(a->findChild<QPushButton*>("alertButton2"), Qt::LeftButton);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy.takeFirst().at(0).toInt(), 2);
  EXPECT_EQ(field->text(), "typed");
  EXPECT_TRUE(Alert::visibleAlerts().isEmpty());
  a->dismissWithButtonIndex(1);
  EXPECT_EQ(spy.count(), 0) << "dismissed once only";

  auto* b = new Alert("T", "", "No", {"Yes"}, &host);
  QSignalSpy spyB(b, &Alert::dismissedWithButtonIndex);
  b->show();
  QTest::keyClick(b, Qt::Key_Escape);
  ASSERT_EQ(spyB.count(), 1);
  EXPECT_EQ(spyB.takeFirst().at(0).toInt(), 0);
}

class Screen : public ViewController {
 public:
  QStringList* log;
  QString name;
  Screen(QStringList* l, QString n) : log(l), name(std::move(n)) {}
  void viewWillAppear() override { *log << name + " will"; }
  void viewDidAppear() override { *log << name + " did"; }
  void viewWillDisappear() override { *log << name + " gone"; }
};

TEST(NavigationStackTest, PushAndPopRunTheAppearanceHooks) {
  QStringList log;
  NavigationStack stack;
  stack.show();
  stack.setRoot(new Screen(&log, "root"));
  QTRY_COMPARE(log, QStringList({"root will", "root did"}));
  QPointer<ViewController> child = new Screen(&log, "child");
  stack.push(child);
  QTRY_VERIFY(log.contains("child did"));
  EXPECT_EQ(stack.depth(), 2);
  log.clear();
  stack.pop();
  QTRY_COMPARE(log, QStringList({"child gone", "root will", "root did"}));
  QTRY_VERIFY(child.isNull());
  stack.pop();
  EXPECT_EQ(stack.depth(), 1) << "the root stays";
}

TEST(TableViewTest, DeleteKeyAndTapReachOnlyDeletableRows) {
  QStringListModel model({"a", "b", "c"});
  TableView table;
  table.setModel(&model);
  table.setCanDeleteRow([](int row) { return row != 0; });
  table.resize(320, 200);
  table.show();
  QSignalSpy deletes(&table, &TableView::deleteRequested);
  QSignalSpy taps(&table, &TableView::rowTapped);
  QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, table.visualRect(model.index(1)).center());
  ASSERT_EQ(taps.count(), 1);
  EXPECT_EQ(taps.takeFirst().at(0).toInt(), 1);
  QTest::keyClick(&table, Qt::Key_Delete);
  ASSERT_EQ(deletes.count(), 1);
  EXPECT_EQ(deletes.takeFirst().at(0).toInt(), 1);
  table.setCurrentIndex(model.index(0));
  QTest::keyClick(&table, Qt::Key_Delete);
  EXPECT_EQ(deletes.count(), 0);
}

TEST(TableViewTest, TheContextMenuOffersDeleteOnDeletableRows) {
  QStringListModel model({"a", "b"});
  TableView table;
  table.setModel(&model);
  table.setCanDeleteRow([](int row) { return row == 1; });
  table.resize(320, 200);
  table.show();
  QSignalSpy deletes(&table, &TableView::deleteRequested);
  // The menu runs its own loop: choose "Delete" from it once it shows.
  bool offered = false;
  QTimer::singleShot(0, [&] {
    QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) return;
    QAction* del = menu->findChild<QAction*>("deleteAction");
    offered = del != nullptr;
    if (del != nullptr) menu->setActiveAction(del);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  const QPoint at = table.visualRect(model.index(1)).center();
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, table.viewport()->mapToGlobal(at));
  QApplication::sendEvent(table.viewport(), &event);
  EXPECT_TRUE(offered);
  ASSERT_EQ(deletes.count(), 1);
  EXPECT_EQ(deletes.takeFirst().at(0).toInt(), 1);
  // Row 0 cannot go: no menu at all.
  const QPoint at0 = table.visualRect(model.index(0)).center();
  QContextMenuEvent event0(QContextMenuEvent::Mouse, at0, table.viewport()->mapToGlobal(at0));
  QApplication::sendEvent(table.viewport(), &event0);
  EXPECT_EQ(deletes.count(), 0);
}

TEST(TableRowTest, ClicksOnTheRowTapButNotOnItsAccessory) {
  TableRow row("Title", "Second");
  auto* sw = new Switch;
  row.setAccessory(sw);
  row.resize(320, 50);
  row.show();
  QSignalSpy taps(&row, &TableRow::tapped);
  QTest::mouseClick(&row, Qt::LeftButton, {}, QPoint(40, 25));
  EXPECT_EQ(taps.count(), 1);
  QTest::mouseClick(sw, Qt::LeftButton);
  EXPECT_EQ(taps.count(), 1);
  EXPECT_TRUE(sw->isOn());
}

// Every line of the label fits the width it was given.
void expectLinesFit(const QLabel& label, int width) {
  const QFontMetrics metrics(label.font());
  for (const QString& line : label.text().split('\n'))
    EXPECT_LE(metrics.horizontalAdvance(line), width) << line.toStdString();
}

TEST(FittedTextTest, OneLineWhenItFitsElseWordsOnLinesAndAnEllipsisOnlyWhenTooFew) {
  QLabel label;
  const QString sentence = "If popup appears while device is sleeping";
  const int wide = QFontMetrics(label.font()).horizontalAdvance(sentence) + 1;
  const int oneLine = fitText(&label, sentence, wide, 2);
  EXPECT_EQ(label.text(), sentence);

  const int narrow = wide * 2 / 3;
  const int twoLines = fitText(&label, sentence, narrow, 2);
  EXPECT_EQ(label.text().count('\n'), 1);
  EXPECT_GT(twoLines, oneLine);
  // Broken between words: nothing lost, no word cut.
  EXPECT_EQ(label.text().replace('\n', ' '), sentence);
  expectLinesFit(label, narrow);

  fitText(&label, sentence, narrow, 1);
  EXPECT_TRUE(label.text().endsWith(QChar(0x2026))) << label.text().toStdString();
  EXPECT_FALSE(label.text().contains('\n'));
  expectLinesFit(label, narrow);
  EXPECT_EQ(label.accessibleName(), sentence);

  // No room at all, or no lines: a single line, never a crash.
  fitText(&label, sentence, 0, 0);
  EXPECT_EQ(label.text(), sentence);
  fitText(&label, QString(), narrow, 2);
  EXPECT_EQ(label.text(), QString());
}

TEST(TableRowTest, ALongSubtitleTakesTwoLinesInsideTheRowAndStaysWhole) {
  const QString under = "If popup appears while device is sleeping";
  TableRow row("Play sound when sleeping", under);
  row.setAccessory(new Switch);
  row.resize(320, kRowHeight);
  row.show();
  auto* label = row.findChild<QLabel*>("rowSubtitle");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(row.subtitle(), under);
  EXPECT_EQ(label->text().replace('\n', ' '), under);
  EXPECT_TRUE(row.rect().contains(label->geometry())) << label->geometry().y() << "+" << label->height();
  expectLinesFit(*label, label->width());
}

}  // namespace
}  // namespace kst::uikit
