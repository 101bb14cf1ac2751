#include "platform/uikit/Switch.h"

#include <QPainter>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

Switch::Switch(QWidget* parent) : QAbstractButton(parent), onTint_(switchOnTint()) {
  installAccessibleInterfaces();
  setCheckable(true);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setFixedSize(sizeHint());
  connect(this, &QAbstractButton::clicked, this, [this](bool on) { emit valueChanged(on); });
}

void Switch::setOn(bool on, bool /*animated*/) {
  const QSignalBlocker quiet(this);
  setChecked(on);
}

void Switch::setOnTintColor(const QColor& color) {
  onTint_ = color;
  update();
}

void Switch::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
  const qreal radius = track.height() / 2;
  // A locked switch is drawn faded, whatever its state.
  if (!isEnabled()) p.setOpacity(0.4);
  const QColor fill = isOn() ? onTint_ : QColor(255, 255, 255);
  p.setPen(QPen(isOn() ? fill : QColor(215, 215, 215), 1.5));
  p.setBrush(fill);
  p.drawRoundedRect(track, radius, radius);
  const qreal knob = track.height() - 2;
  const qreal x = isOn() ? track.right() - knob - 1 : track.left() + 1;
  p.setPen(QPen(QColor(200, 200, 200), 0.8));
  p.setBrush(isEnabled() ? QColor(255, 255, 255) : QColor(245, 245, 245));
  p.drawEllipse(QRectF(x, track.top() + 1, knob, knob));
  if (hasFocus()) {
    p.setOpacity(1.0);
    p.setPen(QPen(focusRing(), kFocusRingWidth));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(track, radius, radius);
  }
}

}  // namespace kst::uikit
