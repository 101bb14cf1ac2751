#include "platform/uikit/SegmentedControl.h"

#include <QAccessible>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

namespace {

constexpr qreal kCornerRadius = 4.0;
constexpr int kTitlePadding = 8;
constexpr int kFontPixelSize = 13;

}  // namespace

SegmentedControl::SegmentedControl(const QStringList& titles, QWidget* parent)
    : QWidget(parent), titles_(titles) {
  installAccessibleInterfaces();
  setFocusPolicy(Qt::StrongFocus);
  QFont f = font();
  f.setPixelSize(kFontPixelSize);
  setFont(f);
}

void SegmentedControl::selectSegmentQuietly(int index) {
  if (index < kNoSegment || index >= numberOfSegments()) return;
  selected_ = index;
  update();
}

void SegmentedControl::setSelectedSegmentIndex(int index) {
  if (index < 0 || index >= numberOfSegments()) return;
  selected_ = index;
  update();
  sendValueChanged();
}

QList<int> SegmentedControl::selectedSegments() const {
  QList<int> out;
  for (int i = 0; i < numberOfSegments(); ++i)
    if (isSegmentSelected(i)) out << i;
  return out;
}

void SegmentedControl::sendValueChanged() {
  emit valueChanged();
  // Told to assistive tools whether or not one listens now: a few events.
  QAccessible::State changed;
  changed.checked = true;
  for (int i = 0; i < numberOfSegments(); ++i) {
    QAccessibleStateChangeEvent event(this, changed);
    event.setChild(i);
    QAccessible::updateAccessibility(&event);
  }
}

int SegmentedControl::focusedSegment() const {
  if (focused_ >= 0 && focused_ < numberOfSegments()) return focused_;
  if (selected_ >= 0 && selected_ < numberOfSegments()) return selected_;
  return numberOfSegments() > 0 ? 0 : kNoSegment;
}

void SegmentedControl::moveFocusTo(int index) {
  if (index < 0 || index >= numberOfSegments()) return;
  focused_ = index;
  update();
  if (hasFocus()) {
    QAccessibleEvent event(this, QAccessible::Focus);
    event.setChild(index);
    QAccessible::updateAccessibility(&event);
  }
}

void SegmentedControl::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  moveFocusTo(focusedSegment());
}

void SegmentedControl::tapSegment(int index) {
  if (!isEnabled()) return;
  // The keyboard goes on from the segment last tapped.
  if (index >= 0 && index < numberOfSegments()) focused_ = index;
  setSelectedSegmentIndex(index);
}

void SegmentedControl::setTintColor(const QColor& color) {
  tint_ = color;
  update();
}

void SegmentedControl::setWidthsByContent(bool byContent) {
  widthsByContent_ = byContent;
  update();
}

QRect SegmentedControl::segmentRect(int index) const {
  const int n = numberOfSegments();
  if (index < 0 || index >= n) return {};
  const int w = width();
  if (!widthsByContent_) {
    const int left = index * w / n;
    const int right = (index + 1) * w / n;
    return QRect(left, 0, right - left, height());
  }
  // By content: each title's width plus padding, scaled to fill the control.
  QFontMetrics fm(font());
  qreal total = 0;
  QList<qreal> widths;
  for (const QString& t : titles_) {
    widths << fm.horizontalAdvance(t) + 2.0 * kTitlePadding;
    total += widths.back();
  }
  qreal x = 0;
  for (int i = 0; i < index; ++i) x += widths[i] * w / total;
  const qreal segment = widths[index] * w / total;
  return QRect(qRound(x), 0, qRound(x + segment) - qRound(x), height());
}

int SegmentedControl::segmentAt(const QPoint& pos) const {
  for (int i = 0; i < numberOfSegments(); ++i)
    if (segmentRect(i).contains(pos.x(), qBound(0, pos.y(), height() - 1))) return i;
  return kNoSegment;
}

void SegmentedControl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor tint = isEnabled() ? tint_ : QColor(tint_.red(), tint_.green(), tint_.blue(), 90);
  const QRectF outline = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath clip;
  clip.addRoundedRect(outline, kCornerRadius, kCornerRadius);
  p.setClipPath(clip);
  QFontMetrics fm(font());
  for (int i = 0; i < numberOfSegments(); ++i) {
    const QRect r = segmentRect(i);
    const bool on = isSegmentSelected(i);
    if (on) p.fillRect(r, tint);
    // A light tint (white on dark glass) gets dark titles on its selected segment.
    const QColor onText = tint_.lightnessF() > 0.7 ? QColor(40, 40, 48) : QColor(Qt::white);
    p.setPen(on ? onText : tint);
    const QString text = fm.elidedText(titles_[i], Qt::ElideMiddle, r.width() - 4);
    p.drawText(r, Qt::AlignCenter, text);
    if (i > 0) {
      p.setPen(QPen(tint, 1));
      p.drawLine(r.topLeft(), r.bottomLeft());
    }
  }
  p.setClipping(false);
  p.setPen(QPen(tint, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(outline, kCornerRadius, kCornerRadius);
  if (hasFocus()) {
    // The segment the keyboard acts on, ringed in the focus colour.
    const QRectF r = QRectF(segmentRect(focusedSegment())).adjusted(2, 2, -2, -2);
    p.setPen(QPen(focusRing(), kFocusRingWidth));
    p.drawRoundedRect(r, kCornerRadius, kCornerRadius);
  }
}

void SegmentedControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  tapSegment(segmentAt(event->position().toPoint()));
}

void SegmentedControl::keyPressEvent(QKeyEvent* event) {
  const int current = focusedSegment();
  switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
      const int next = current + (event->key() == Qt::Key_Left ? -1 : 1);
      if (next < 0 || next >= numberOfSegments()) return;
      moveFocusTo(next);
      // One of several: the arrows select, as in a group of radio buttons.
      if (!selectsSeveral()) tapSegment(next);
      return;
    }
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      tapSegment(current);
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

QSize SegmentedControl::sizeHint() const {
  QFontMetrics fm(font());
  int w = 0;
  for (const QString& t : titles_) w += fm.horizontalAdvance(t) + 2 * kTitlePadding;
  return {w, fm.height() + 10};
}

}  // namespace kst::uikit
