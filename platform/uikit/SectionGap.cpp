#include "platform/uikit/SectionGap.h"

#include <QPainter>

#include "platform/uikit/UIColors.h"

namespace kst::uikit {

SectionGap::SectionGap(int height, QWidget* parent) : QWidget(parent) {
  setFixedHeight(height);
}

void SectionGap::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), titleText());
}

}  // namespace kst::uikit
