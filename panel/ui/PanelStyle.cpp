#include "panel/ui/PanelStyle.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "platform/uikit/UIColors.h"

namespace kst::panel {

namespace {

// The condensed face: its own family on some machines, a stretch of the
// plain family on others.
constexpr const char* kCondensedFamily = "DejaVu Sans Condensed";
constexpr const char* kCondensedBase = "DejaVu Sans";
constexpr const char* kFallbackFamily = "Helvetica";

QImage canvas(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  return img;
}

}  // namespace

bool hasHelveticaNeue() {
  static const bool has = QFontDatabase::families().contains(kCondensedFamily) ||
                          QFontDatabase::styles(kCondensedBase).contains("Condensed Bold");
  return has;
}

QFont titleFont(int condensedSize, int fallbackSize) {
  QFont f(hasHelveticaNeue() ? kCondensedBase : kFallbackFamily);
  if (hasHelveticaNeue()) f.setStretch(QFont::Condensed);
  f.setBold(true);
  f.setPixelSize(hasHelveticaNeue() ? condensedSize : fallbackSize);
  return f;
}

QFont lightFont(int size, int fallbackSize) {
  QFont f(hasHelveticaNeue() ? "DejaVu Sans" : kFallbackFamily);
  if (hasHelveticaNeue()) f.setWeight(QFont::Light);
  f.setPixelSize(hasHelveticaNeue() ? size - 1 : fallbackSize - 1);
  return f;
}

QFont barTitleFont() {
  return titleFont(20, 20);
}

QRect makeRoundedRect(double x, double y, double width, double height) {
  return QRect(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)),
               static_cast<int>(std::lround(width)), static_cast<int>(std::lround(height)));
}

QImage rowImage(RowImage which) {
  QImage img = canvas(58);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(2, 2);
  QColor colour = uikit::switchOnTint();
  if (which == RowImage::kGlobalDeny) colour = QColor(214, 84, 84);
  if (which == RowImage::kImport) colour = QColor(161, 176, 176);
  if (which == RowImage::kAdd) colour = QColor(84, 180, 120);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawRoundedRect(QRectF(0.5, 0.5, 28, 28), 6, 6);
  p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  switch (which) {
    case RowImage::kGlobalAllow:
      p.drawPolyline(QPolygonF({{8, 15}, {12.5, 19.5}, {21, 9.5}}));
      break;
    case RowImage::kGlobalDeny:
      p.drawLine(QPointF(9.5, 9.5), QPointF(19.5, 19.5));
      p.drawLine(QPointF(19.5, 9.5), QPointF(9.5, 19.5));
      break;
    case RowImage::kAdd:
      p.drawLine(QPointF(14.5, 8), QPointF(14.5, 21));
      p.drawLine(QPointF(8, 14.5), QPointF(21, 14.5));
      break;
    case RowImage::kImport:
      p.drawLine(QPointF(14.5, 7), QPointF(14.5, 17));
      p.drawPolyline(QPolygonF({{10, 13}, {14.5, 17.5}, {19, 13}}));
      p.drawLine(QPointF(8, 21.5), QPointF(21, 21.5));
      break;
  }
  return img;
}

QImage placeholderIcon() {
  QImage img = canvas(58);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(2, 2);
  p.setPen(QPen(QColor(200, 206, 206), 1));
  p.setBrush(QColor(236, 240, 240));
  p.drawRoundedRect(QRectF(0.5, 0.5, 28, 28), 6, 6);
  p.setPen(QPen(QColor(180, 190, 190), 1.4));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(7, 7, 15, 15));
  p.drawLine(QPointF(7, 14.5), QPointF(22, 14.5));
  p.drawEllipse(QRectF(11, 7, 7, 15));
  return img;
}

QImage applicationIcon(int size) {
  QImage img = canvas(size);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  p.setPen(Qt::NoPen);
  p.setBrush(uikit::switchOnTint());
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
  // A shield with a wall.
  QPainterPath shield;
  shield.moveTo(32, 11);
  shield.lineTo(50, 18);
  shield.cubicTo(50, 36, 43, 47, 32, 54);
  shield.cubicTo(21, 47, 14, 36, 14, 18);
  shield.closeSubpath();
  p.setBrush(Qt::white);
  p.drawPath(shield);
  p.setPen(QPen(uikit::switchOnTint(), 2.4));
  p.drawLine(QPointF(18, 27), QPointF(46, 27));
  p.drawLine(QPointF(20, 37), QPointF(44, 37));
  p.drawLine(QPointF(32, 18), QPointF(32, 27));
  p.drawLine(QPointF(26, 27), QPointF(26, 37));
  p.drawLine(QPointF(38, 27), QPointF(38, 37));
  p.drawLine(QPointF(32, 37), QPointF(32, 46));
  return img;
}

}  // namespace kst::panel
