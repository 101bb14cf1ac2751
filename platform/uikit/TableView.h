#pragma once

#include <QListView>

namespace kst::uikit {

// A table of one section of 50-point rows over a list model, for the long
// lists: rows are painted by the screen's delegate, not built as widgets,
// so a table of ten thousand rows opens at once. A click on a row emits
// rowTapped. Swipe-to-delete is, on the desktop, a "Delete" action on the
// row: its context menu and the Delete key emit deleteRequested for rows
// the screen lets go (canDeleteRow). Return or Space taps the current row.
// On the accessibility bus each row is an entry with Press and, where it
// can go, Delete actions.
class TableView : public QListView {
  Q_OBJECT

 public:
  explicit TableView(QWidget* parent = nullptr);

  void setCanDeleteRow(std::function<bool(int row)> canDelete) { canDelete_ = std::move(canDelete); }
  bool canDeleteRow(int row) const { return row >= 0 && row < rowCount() && canDelete(row); }
  // As a tap on the row (not on a control painted in it), and as the row's
  // Delete action; rows out of range do nothing.
  void tapRow(int row);
  void requestDelete(int row);
  // Edit mode: the delegate shows delete controls and editable texts.
  void setEditing(bool editing);
  bool isEditing() const { return editing_; }
  // Where the last tap landed, in the viewport (for controls painted in a row).
  QPoint lastTapPosition() const { return lastTap_; }

 signals:
  void rowTapped(int row);
  void deleteRequested(int row);

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  int rowCount() const { return model() != nullptr ? model()->rowCount(rootIndex()) : 0; }
  bool canDelete(int row) const { return row >= 0 && (!canDelete_ || canDelete_(row)); }

  std::function<bool(int)> canDelete_;
  bool editing_ = false;
  QPoint lastTap_;
};

}  // namespace kst::uikit
