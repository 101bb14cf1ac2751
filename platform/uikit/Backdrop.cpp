#include "platform/uikit/Backdrop.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace kst::uikit {

namespace {

const QColor kGlass(38, 44, 58, 228);
const QColor kGlassHighlight(70, 80, 104, 228);
const QColor kSolid(244, 244, 246);

}  // namespace

Backdrop::Backdrop(Style style, QWidget* parent) : QWidget(parent), style_(style) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

QColor Backdrop::outputColor() const {
  return style_ == Style::kSolid ? kSolid : kGlass;
}

double Backdrop::brightness(const QColor& color) {
  return (color.redF() * 299 + color.greenF() * 587 + color.blueF() * 114) / 1000;
}

void Backdrop::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  if (style_ == Style::kSolid) {
    p.fillPath(path, kSolid);
    return;
  }
  // Frosted glass: a soft vertical sheen over the dark tint.
  QLinearGradient sheen(0, 0, 0, height());
  sheen.setColorAt(0, kGlassHighlight);
  sheen.setColorAt(1, kGlass);
  p.fillPath(path, sheen);
}

}  // namespace kst::uikit
