#include "platform/uikit/GlyphButton.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

GlyphButton::GlyphButton(Glyph glyph, QWidget* parent) : QAbstractButton(parent), glyph_(glyph) {
  installAccessibleInterfaces();
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
}

void GlyphButton::setGlyph(Glyph glyph) {
  glyph_ = glyph;
  update();
}

void GlyphButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QColor ink = titleText().darker(115);
  if (isDown()) ink.setAlpha(110);
  if (!isEnabled()) ink.setAlpha(60);
  // A 24-point square in the middle of the button.
  const qreal s = 24;
  const QPointF o(width() / 2.0 - s / 2, height() / 2.0 - s / 2);
  p.translate(o);
  p.setPen(QPen(ink, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  switch (glyph_) {
    case Glyph::kBack:
      p.drawPolyline(QPolygonF({{15, 4}, {7, 12}, {15, 20}}));
      break;
    case Glyph::kAdd:
      p.drawEllipse(QRectF(1, 1, 22, 22));
      p.drawLine(QPointF(12, 6.5), QPointF(12, 17.5));
      p.drawLine(QPointF(6.5, 12), QPointF(17.5, 12));
      break;
    case Glyph::kEdit:
      p.drawLine(QPointF(5, 19), QPointF(18, 6));
      p.drawLine(QPointF(4, 20), QPointF(8, 20));
      p.drawLine(QPointF(15, 4.5), QPointF(19.5, 9));
      break;
    case Glyph::kAccept:
      p.drawEllipse(QRectF(1, 1, 22, 22));
      p.drawPolyline(QPolygonF({{6.5, 12.5}, {10.5, 16.5}, {17.5, 8}}));
      break;
    case Glyph::kSettings: {
      p.drawEllipse(QRectF(7, 7, 10, 10));
      for (int i = 0; i < 8; ++i) {
        const double a = i * M_PI / 4;
        p.drawLine(QPointF(12 + 7 * std::cos(a), 12 + 7 * std::sin(a)),
                   QPointF(12 + 10.5 * std::cos(a), 12 + 10.5 * std::sin(a)));
      }
      break;
    }
    case Glyph::kReload: {
      QPainterPath arc;
      arc.arcMoveTo(QRectF(3, 3, 18, 18), 60);
      arc.arcTo(QRectF(3, 3, 18, 18), 60, 280);
      p.drawPath(arc);
      p.drawPolyline(QPolygonF({{16.5, 1.5}, {16.5, 5.5}, {12.5, 5.5}}));
      break;
    }
    case Glyph::kTrash:
      p.drawLine(QPointF(4, 6), QPointF(20, 6));
      p.drawLine(QPointF(9.5, 3), QPointF(14.5, 3));
      p.drawPolyline(QPolygonF({{6, 6}, {7.5, 21}, {16.5, 21}, {18, 6}}));
      p.drawLine(QPointF(10, 10), QPointF(10, 17));
      p.drawLine(QPointF(14, 10), QPointF(14, 17));
      break;
  }
}

}  // namespace kst::uikit
