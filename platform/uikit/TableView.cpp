#include "platform/uikit/TableView.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include "platform/uikit/UIColors.h"

namespace kst::uikit {

TableView::TableView(QWidget* parent) : QListView(parent) {
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
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && row >= 0 &&
      state() != EditingState) {
    lastTap_ = QPoint(-1, -1);
    emit rowTapped(row);
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
