#pragma once

#include <QColor>
#include <QList>
#include <QStringList>
#include <QWidget>

namespace kst::uikit {

// A segmented control: a row of titled segments of which one is selected,
// drawn in the tint colour. A tap (mouse press, or tapSegment() from code
// that automates the screen) goes through setSelectedSegmentIndex(), which a
// subclass may override to keep another kind of selection; every change a
// tap makes is reported by valueChanged(). From the keyboard the arrows move
// among the segments (selecting as they go, unless several segments can be
// selected) and Space or Return taps the segment that has the focus; on the
// accessibility bus each segment is a button of its own. Main thread only.
class SegmentedControl : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QStringList segmentTitles READ segmentTitles)
  Q_PROPERTY(int selectedSegmentIndex READ selectedSegmentIndex)

 public:
  static constexpr int kNoSegment = -1;

  explicit SegmentedControl(const QStringList& titles, QWidget* parent = nullptr);

  QStringList segmentTitles() const { return titles_; }
  int numberOfSegments() const { return static_cast<int>(titles_.size()); }
  int selectedSegmentIndex() const { return selected_; }
  // Selects without reporting a change (the initial state).
  void selectSegmentQuietly(int index);

  // The tap's work: selects the segment and reports the change. An index
  // out of range does nothing.
  virtual void setSelectedSegmentIndex(int index);
  virtual bool isSegmentSelected(int index) const { return index == selected_; }
  // Whether several segments can be selected at once.
  virtual bool selectsSeveral() const { return false; }
  // The segment the keyboard acts on.
  int focusedSegment() const;
  // Every selected segment, in order.
  Q_INVOKABLE virtual QList<int> selectedSegments() const;
  // As a person's tap on segment `index`.
  Q_INVOKABLE void tapSegment(int index);

  QColor tintColor() const { return tint_; }
  void setTintColor(const QColor& color);
  // Segment widths follow their titles instead of being equal.
  void setWidthsByContent(bool byContent);
  QRect segmentRect(int index) const;
  int segmentAt(const QPoint& pos) const;

 signals:
  void valueChanged();

 protected:
  // Reports a change of the selection (to the owner and to assistive tools).
  void sendValueChanged();
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  QSize sizeHint() const override;

 private:
  QStringList titles_;
  void moveFocusTo(int index);

  int selected_ = kNoSegment;
  int focused_ = kNoSegment;
  QColor tint_{0, 91, 239};
  bool widthsByContent_ = false;
};

}  // namespace kst::uikit
