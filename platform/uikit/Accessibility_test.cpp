// The toolkit's widgets as assistive tools see them, driven only through
// their accessible interfaces.
#include "platform/uikit/Accessibility.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTest>

#include "platform/uikit/Alert.h"
#include "platform/uikit/SegmentedControl.h"
#include "platform/uikit/Switch.h"
#include "platform/uikit/TableRow.h"
#include "platform/uikit/TableView.h"

namespace kst::uikit {
namespace {

QAccessibleInterface* face(QObject* o) {
  return QAccessible::queryAccessibleInterface(o);
}

void act(QAccessibleInterface* i, const QString& action) {
  ASSERT_NE(i, nullptr);
  ASSERT_NE(i->actionInterface(), nullptr);
  ASSERT_TRUE(i->actionInterface()->actionNames().contains(action)) << action.toStdString();
  i->actionInterface()->doAction(action);
}

TEST(AccessibilityTest, EachSegmentIsARadioButtonThatSelectsAsATap) {
  QWidget host;
  auto* c = new SegmentedControl({"Allow", "Deny"}, &host);
  c->setAccessibleName("Mode");
  c->setGeometry(0, 0, 200, 30);
  c->selectSegmentQuietly(0);
  host.show();
  QSignalSpy changed(c, &SegmentedControl::valueChanged);
  QAccessibleInterface* control = face(c);
  EXPECT_EQ(control->role(), QAccessible::Grouping);
  EXPECT_EQ(control->text(QAccessible::Name), "Mode");
  ASSERT_EQ(control->childCount(), 2);
  QAccessibleInterface* allow = control->child(0);
  QAccessibleInterface* deny = control->child(1);
  EXPECT_EQ(control->child(1), deny) << "a segment keeps its interface";
  EXPECT_EQ(control->indexOfChild(deny), 1);
  EXPECT_EQ(deny->parent(), control);
  EXPECT_EQ(allow->text(QAccessible::Name), "Allow");
  EXPECT_EQ(deny->text(QAccessible::Name), "Deny");
  EXPECT_EQ(deny->role(), QAccessible::RadioButton);
  EXPECT_TRUE(allow->state().checked);
  EXPECT_FALSE(deny->state().checked);
  EXPECT_EQ(control->childAt(c->mapToGlobal(QPoint(150, 15)).x(), c->mapToGlobal(QPoint(150, 15)).y()), deny);

  act(deny, QAccessibleActionInterface::pressAction());
  EXPECT_EQ(c->selectedSegmentIndex(), 1);
  EXPECT_EQ(changed.count(), 1);
  EXPECT_TRUE(deny->state().checked);
  EXPECT_FALSE(allow->state().checked);

  c->setEnabled(false);
  EXPECT_TRUE(allow->state().disabled);
  act(allow, QAccessibleActionInterface::pressAction());
  EXPECT_EQ(c->selectedSegmentIndex(), 1) << "a locked control takes no press, as it takes no tap";
  c->setEnabled(true);
  c->hide();
  act(allow, QAccessibleActionInterface::pressAction());
  EXPECT_EQ(c->selectedSegmentIndex(), 1) << "a hidden control takes no press";
  EXPECT_EQ(changed.count(), 1);
}

TEST(AccessibilityTest, SegmentsFollowTheKeyboard) {
  QWidget host;
  auto* c = new SegmentedControl({"normal", "*host", "*.host"}, &host);
  c->setGeometry(0, 0, 240, 30);
  c->selectSegmentQuietly(0);
  host.show();
  QApplication::setActiveWindow(&host);
  c->setFocus();
  QSignalSpy changed(c, &SegmentedControl::valueChanged);
  QTest::keyClick(c, Qt::Key_Right);
  QTest::keyClick(c, Qt::Key_Right);
  EXPECT_EQ(c->selectedSegmentIndex(), 2);
  QTest::keyClick(c, Qt::Key_Right);
  EXPECT_EQ(c->selectedSegmentIndex(), 2) << "no segment past the last";
  EXPECT_EQ(changed.count(), 2);
  EXPECT_TRUE(face(c)->child(2)->state().focused);
}

TEST(AccessibilityTest, ASwitchTogglesThroughTheClickPathAndNotWhenLocked) {
  QWidget host;
  auto* s = new Switch(&host);
  s->setAccessibleName("Log");
  s->setAccessibleDescription("Tap cell to view the log.");
  host.show();
  QSignalSpy changed(s, &Switch::valueChanged);
  QAccessibleInterface* i = face(s);
  EXPECT_EQ(i->role(), QAccessible::CheckBox);
  EXPECT_EQ(i->text(QAccessible::Name), "Log");
  EXPECT_EQ(i->text(QAccessible::Description), "Tap cell to view the log.");
  EXPECT_FALSE(i->state().checked);
  act(i, QAccessibleActionInterface::toggleAction());
  ASSERT_EQ(changed.count(), 1) << "the owner hears of the change, as of a click";
  EXPECT_TRUE(changed.at(0).at(0).toBool());
  EXPECT_TRUE(i->state().checked);
  act(i, QAccessibleActionInterface::pressAction());
  ASSERT_EQ(changed.count(), 2);
  EXPECT_FALSE(changed.at(1).at(0).toBool());
  s->setEnabled(false);
  act(i, QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(changed.count(), 2);
  EXPECT_FALSE(s->isOn());
}

TEST(AccessibilityTest, NothingBehindAnOpenAlertIsPressed) {
  QWidget host;
  host.resize(320, 480);
  auto* s = new Switch(&host);
  host.show();
  auto* alert = new Alert("Please Read", "Logging will need additional resources.", "OK", {}, &host);
  alert->show();
  QAccessibleInterface* a = face(alert);
  EXPECT_EQ(a->role(), QAccessible::AlertMessage);
  EXPECT_EQ(a->text(QAccessible::Name), "Please Read");
  EXPECT_EQ(a->text(QAccessible::Description), "Logging will need additional resources.");
  QSignalSpy changed(s, &Switch::valueChanged);
  act(face(s), QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(changed.count(), 0) << "a tap could not reach it either";
  QSignalSpy dismissed(alert, &Alert::dismissedWithButtonIndex);
  QAccessibleInterface* ok = face(alert->findChild<QPushButton*>("alertButton0"));
  EXPECT_EQ(ok->role(), QAccessible::Button);
  EXPECT_EQ(ok->text(QAccessible::Name), "OK");
  act(ok, QAccessibleActionInterface::pressAction());
  ASSERT_EQ(dismissed.count(), 1);
  QApplication::processEvents();
  act(face(s), QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(changed.count(), 1);
}

TEST(AccessibilityTest, RowsAreNamedByTheirTextsAndPressedAsTapped) {
  QWidget host;
  auto* row = new TableRow("Documentation", "Browse Kestrix documentation.", &host);
  row->resize(320, 50);
  auto* plain = new TableRow("Enabled", "Completely disable/enable Kst.", &host);
  auto* sw = new Switch;
  plain->setAccessory(sw);
  host.show();
  QSignalSpy tapped(row, &TableRow::tapped);
  QAccessibleInterface* info = face(plain);
  EXPECT_EQ(info->role(), QAccessible::ListItem) << "a row nothing listens to opens nothing";
  EXPECT_EQ(info->text(QAccessible::Name), "Enabled");
  EXPECT_EQ(info->text(QAccessible::Description), "Completely disable/enable Kst.");
  ASSERT_EQ(info->childCount(), 1);
  EXPECT_EQ(info->child(0)->object(), sw);
  EXPECT_EQ(info->indexOfChild(face(sw)), 0);
  QObject::connect(row, &TableRow::tapped, row, [] {});
  QAccessibleInterface* opens = face(row);
  EXPECT_EQ(opens->role(), QAccessible::Button);
  EXPECT_EQ(opens->text(QAccessible::Name), "Documentation");
  act(opens, QAccessibleActionInterface::pressAction());
  EXPECT_EQ(tapped.count(), 1);
  host.hide();
  opens->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(tapped.count(), 1) << "a row whose screen has gone opens nothing";
}

TEST(AccessibilityTest, TableRowsArePressedAndDeletedThroughTheirActions) {
  QStringListModel model({"apple.com", "example.com", "kestrix.test"});
  TableView table;
  table.setModel(&model);
  table.setCanDeleteRow([](int row) { return row != 0; });
  table.resize(320, 200);
  table.show();
  QSignalSpy tapped(&table, &TableView::rowTapped);
  QSignalSpy deleted(&table, &TableView::deleteRequested);
  QAccessibleInterface* list = face(&table);
  EXPECT_EQ(list->role(), QAccessible::List);
  ASSERT_EQ(list->childCount(), 3);
  QAccessibleInterface* second = list->child(1);
  EXPECT_EQ(second->role(), QAccessible::ListItem);
  EXPECT_EQ(second->text(QAccessible::Name), "example.com");
  EXPECT_EQ(list->indexOfChild(second), 1);
  act(second, QAccessibleActionInterface::pressAction());
  ASSERT_EQ(tapped.count(), 1);
  EXPECT_EQ(tapped.at(0).at(0).toInt(), 1);
  EXPECT_EQ(table.lastTapPosition(), QPoint(-1, -1)) << "not on a control painted in the row";
  EXPECT_FALSE(list->child(0)->actionInterface()->actionNames().contains("Delete"));
  act(second, "Delete");
  ASSERT_EQ(deleted.count(), 1);
  EXPECT_EQ(deleted.at(0).at(0).toInt(), 1);

  // The model loses the first row: the interfaces follow the rows.
  model.removeRows(0, 1);
  ASSERT_EQ(list->childCount(), 2);
  EXPECT_EQ(list->child(0)->text(QAccessible::Name), "example.com");
  EXPECT_EQ(list->child(1)->text(QAccessible::Name), "kestrix.test");
  model.setStringList({});
  EXPECT_EQ(list->childCount(), 0);
  EXPECT_EQ(list->child(0), nullptr);
}

// An event names the part it concerns by number; a bridge looks the part up
// when the event reaches it, after rows may have come and gone.
QString namedBy(QObject* object, QAccessible::Event type, int child) {
  QAccessibleEvent event(object, type);
  event.setChild(child);
  QAccessibleInterface* part = event.accessibleInterface();
  return part != nullptr ? part->text(QAccessible::Name) : QString();
}

TEST(AccessibilityEventTest, TheKeyboardGoesOnFromThePressedSegment) {
  QWidget host;
  auto* c = new SegmentedControl({"all ports", "only port 443"}, &host);
  c->setGeometry(0, 0, 240, 30);
  c->selectSegmentQuietly(0);
  host.show();
  QApplication::setActiveWindow(&host);
  c->setFocus();
  act(face(c)->child(1), QAccessibleActionInterface::pressAction());
  EXPECT_EQ(c->focusedSegment(), 1);
  EXPECT_EQ(namedBy(c, QAccessible::Focus, c->focusedSegment()), "only port 443");
  QTest::keyClick(c, Qt::Key_Left);
  EXPECT_EQ(c->selectedSegmentIndex(), 0);
  EXPECT_EQ(namedBy(c, QAccessible::StateChanged, 0), "all ports");
}

TEST(AccessibilityEventTest, RowsNamedByAnEventAreFoundAfterTheModelChanged) {
  QStringListModel model({"apple.com", "example.com"});
  TableView table;
  table.setModel(&model);
  table.resize(320, 200);
  table.show();
  EXPECT_EQ(namedBy(&table, QAccessible::Focus, 1), "example.com");
  model.removeRows(0, 1);
  EXPECT_EQ(namedBy(&table, QAccessible::Focus, 0), "example.com");
  model.setStringList({"kestrix.test", "example.org", "example.net"});
  EXPECT_EQ(namedBy(&table, QAccessible::Focus, 2), "example.net");
  EXPECT_EQ(namedBy(&table, QAccessible::Focus, 1), "example.org");
  EXPECT_EQ(namedBy(&table, QAccessible::Focus, 0), "kestrix.test");
}

}  // namespace
}  // namespace kst::uikit
