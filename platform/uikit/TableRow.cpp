#include "platform/uikit/TableRow.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QPainter>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/FittedText.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

namespace {

constexpr int kTextX = 16;
constexpr int kIconTextX = 55;

}  // namespace

void paintDisclosure(QPainter& p, const QRect& row) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(199, 199, 204), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  const qreal x = row.right() - 18;
  const qreal y = row.center().y();
  p.drawPolyline(QPolygonF({{x - 4, y - 6}, {x + 2, y}, {x - 4, y + 6}}));
  p.restore();
}

TableRow::TableRow(const QString& title, const QString& subtitle, QWidget* parent)
    : QWidget(parent), title_(new QLabel(this)), subtitle_(new QLabel(this)) {
  installAccessibleInterfaces();
  setFixedHeight(kRowHeight);
  setFocusPolicy(Qt::TabFocus);
  setAccessibleName(title);
  title_->setObjectName("rowTitle");
  subtitle_->setObjectName("rowSubtitle");
  QPalette pal = title_->palette();
  pal.setColor(QPalette::WindowText, cellText());
  title_->setPalette(pal);
  QFont bold = title_->font();
  bold.setBold(true);
  bold.setPixelSize(14);
  title_->setFont(bold);
  QFont light = subtitle_->font();
  light.setPixelSize(12);
  subtitle_->setFont(light);
  QPalette sub = subtitle_->palette();
  sub.setColor(QPalette::WindowText, QColor(120, 128, 128));
  subtitle_->setPalette(sub);
  setTitle(title);
  setSubtitle(subtitle);
}

void TableRow::setFonts(const QFont& title, const QFont& subtitle) {
  title_->setFont(title);
  subtitle_->setFont(subtitle);
  layoutContents();
}

void TableRow::setTitle(const QString& title) {
  title_->setText(title);
  setAccessibleName(title);
  layoutContents();
}

void TableRow::setSubtitle(const QString& subtitle) {
  subtitleText_ = subtitle;
  subtitle_->setText(subtitle);
  subtitle_->setVisible(!subtitle.isEmpty());
  setAccessibleDescription(subtitle);
  layoutContents();
}

QString TableRow::title() const {
  return title_->text();
}
QString TableRow::subtitle() const {
  return subtitleText_;
}

bool TableRow::opensOnTap() const {
  return isSignalConnected(QMetaMethod::fromSignal(&TableRow::tapped));
}

void TableRow::tap() {
  emit tapped();
}

void TableRow::setIcon(const QImage& image) {
  icon_ = image;
  layoutContents();
  update();
}

void TableRow::setAccessory(QWidget* accessory) {
  delete accessory_;
  accessory_ = accessory;
  if (accessory_ != nullptr) {
    accessory_->setParent(this);
    accessory_->show();
  }
  layoutContents();
}

void TableRow::setShowsDisclosure(bool shows) {
  disclosure_ = shows;
  update();
}

void TableRow::layoutContents() {
  const int x = icon_.isNull() ? kTextX : kIconTextX;
  int right = width() - 12;
  if (accessory_ != nullptr) {
    const QSize s = accessory_->sizeHint();
    accessory_->setGeometry(width() - s.width() - 12, (height() - s.height()) / 2, s.width(), s.height());
    right = accessory_->x() - 6;
  } else if (disclosure_) {
    right = width() - 30;
  }
  const int w = std::max(10, right - x);
  const int th = title_->sizeHint().height();
  if (!subtitle_->isHidden()) {
    // A subtitle too long for one line takes the lines the row has room for.
    const int lines = (height() - th) / QFontMetrics(subtitle_->font()).lineSpacing();
    const int sh = fitText(subtitle_, subtitleText_, w, lines);
    title_->setGeometry(x, (height() - th - sh) / 2, w, th);
    subtitle_->setGeometry(x, (height() - th - sh) / 2 + th, w, sh);
  } else {
    title_->setGeometry(x, (height() - th) / 2, w, th);
  }
}

void TableRow::resizeEvent(QResizeEvent*) {
  layoutContents();
}

void TableRow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), pressed_ && highlights_ ? QColor(217, 217, 217) : QColor(255, 255, 255));
  p.fillRect(QRect(0, height() - 1, width(), 1), QColor(236, 238, 238));
  if (!icon_.isNull()) {
    const QSize s = icon_.size().scaled(29, 29, Qt::KeepAspectRatio);
    p.drawImage(QRect(26 - s.width() / 2, height() / 2 - s.height() / 2, s.width(), s.height()), icon_);
  }
  if (disclosure_) paintDisclosure(p, rect());
  if (hasFocus()) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(focusRing(), kFocusRingWidth));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(rect()).adjusted(kFocusRingWidth / 2, kFocusRingWidth / 2, -kFocusRingWidth / 2,
                                       -kFocusRingWidth / 2));
  }
}

void TableRow::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  update();
}

void TableRow::mouseReleaseEvent(QMouseEvent* event) {
  const bool was = pressed_;
  pressed_ = false;
  update();
  if (was && rect().contains(event->position().toPoint())) emit tapped();
}

void TableRow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) {
    tap();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace kst::uikit
