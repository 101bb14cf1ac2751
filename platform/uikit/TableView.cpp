#include "platform/uikit/TableView.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

TableView::TableView(QWidget* parent) : QListView(parent) {
  installAccessibleInterfaces();
  setObjectName("table");
  setAccessibleName("Table");
  setUniformItemSizes(true);
  setFrameShape(QFrame::NoFrame);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setStyleSheet("QListView { background: white; }");
}

void TableView::setEditing(bool editing) {
  editing_ = editing;
  viewport()->update();
}

void TableView::tapRow(int row) {
  if (row < 0 || row >= rowCount()) return;
  lastTap_ = QPoint(-1, -1);
  emit rowTapped(row);
}

void TableView::requestDelete(int row) {
  if (canDeleteRow(row)) emit deleteRequested(row);
}

void TableView::contextMenuEvent(QContextMenuEvent* event) {
  const int row = indexAt(event->pos()).row();
  if (!canDelete(row)) return;
  QMenu menu(this);
  menu.setObjectName("rowMenu");
  QAction* del = menu.addAction("Delete");
  del->setObjectName("deleteAction");
  if (menu.exec(event->globalPos()) == del) emit deleteRequested(row);
}

void TableView::keyPressEvent(QKeyEvent* event) {
  const int row = currentIndex().row();
  if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && state() != EditingState) {
    if (canDelete(row)) emit deleteRequested(row);
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) &&
      row >= 0 && state() != EditingState) {
    tapRow(row);
    return;
  }
  QListView::keyPressEvent(event);
}

void TableView::mouseReleaseEvent(QMouseEvent* event) {
  QListView::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton) return;
  const QModelIndex index = indexAt(event->position().toPoint());
  lastTap_ = event->position().toPoint();
  if (index.isValid()) emit rowTapped(index.row());
}

}  // namespace kst::uikit

namespace kst::uikit {

void TableView::paintEvent(QPaintEvent* event) {
  QListView::paintEvent(event);
  // The row the keyboard acts on, ringed while the table has the focus.
  if (!hasFocus() || !currentIndex().isValid()) return;
  const QRect r = visualRect(currentIndex());
  if (r.isEmpty()) return;
  QPainter p(viewport());
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(focusRing(), kFocusRingWidth));
  p.setBrush(Qt::NoBrush);
  const qreal inset = kFocusRingWidth / 2;
  p.drawRect(QRectF(r).adjusted(inset, inset, -inset, -inset));
}

}  // namespace kst::uikit
