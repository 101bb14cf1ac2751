#include "platform/uikit/TitleBar.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

TitleBar::TitleBar(QWidget* parent) : QWidget(parent), titleLabel_(new QLabel(this)) {
  installAccessibleInterfaces();
  setObjectName("titleBar");
  setFixedHeight(kHeight);
  titleLabel_->setObjectName("titleLabel");
  QPalette pal = titleLabel_->palette();
  pal.setColor(QPalette::WindowText, titleText());
  titleLabel_->setPalette(pal);
  titleLabel_->setAttribute(Qt::WA_TranslucentBackground);
}

QString TitleBar::title() const {
  return titleLabel_->text();
}

void TitleBar::setTitleString(const QString& title) {
  const QFontMetrics m(titleLabel_->font());
  const int w = std::min(m.horizontalAdvance(title) + 2, 220);
  const int h = m.height();
  const int barWidth = width() > 0 ? width() : 320;
  titleLabel_->setGeometry((barWidth - w) / 2, (kHeight - 20 - h) / 2 + 20, w, h);
  titleLabel_->setText(m.elidedText(title, Qt::ElideRight, w));
  titleLabel_->setToolTip(title);
  setAccessibleName(title);
}

void TitleBar::placeButton(QWidget* button, const QRect& frame) {
  button->setParent(this);
  button->setGeometry(frame);
}

void TitleBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), titleBarBackground());
}

}  // namespace kst::uikit
