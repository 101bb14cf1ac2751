#include "platform/uikit/AlertPlacement.h"

#include <QEvent>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace kst::uikit {

AlertPlacement::AlertPlacement(QWidget* alert, QWidget* window)
    : QObject(alert), alert_(alert), window_(window) {
  window_->installEventFilter(this);
}

void AlertPlacement::centre() {
  const QRect over = window_->geometry();
  QRect placed(QPoint(), alert_->size());
  placed.moveCenter(over.center());
  // An alert larger than its window keeps its title on the screen.
  if (const QScreen* screen = window_->screen()) {
    const QRect area = screen->availableGeometry();
    placed.moveLeft(std::max(area.left(), std::min(placed.left(), area.right() - placed.width() + 1)));
    placed.moveTop(std::max(area.top(), std::min(placed.top(), area.bottom() - placed.height() + 1)));
  }
  alert_->move(placed.topLeft());
}

bool AlertPlacement::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && alert_->isVisible()) {
    switch (event->type()) {
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::Show:
        centre();
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace kst::uikit
