#include "hook/prompt/PromptWindowing.h"

#include <xcb/xcb.h>

#include <QEvent>
#include <QGuiApplication>
#include <QPainterPath>
#include <QPolygon>
#include <QRegion>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <cstdlib>
#include <memory>

namespace kst::prompt {

namespace {

constexpr const char* kX11Platform = "xcb";
// The selection a compositing manager owns on screen 0.
constexpr char kCompositorSelection[] = "_NET_WM_CM_S0";

// Activates the window on the first press inside it: the window manager is
// bypassed (to stay above full-screen windows), so nobody else gives it
// focus. The press itself goes on to the button under it.
class ActivateOnPress final : public QObject {
 public:
  explicit ActivateOnPress(QWidget* window) : QObject(window), window_(window) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress) {
      auto* widget = qobject_cast<QWidget*>(watched);
      if (widget != nullptr && widget->window() == window_ && !window_->isActiveWindow())
        window_->activateWindow();
    }
    return false;
  }

 private:
  QWidget* window_;
};

}  // namespace

void keepAboveWithoutFocus(QWidget* window) {
  window->setWindowFlags(window->windowFlags() | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::BypassWindowManagerHint);
  window->setAttribute(Qt::WA_ShowWithoutActivating);
  // Presses reach the views inside the window, never the window itself, so
  // the filter watches the application and keeps to this window.
  qApp->installEventFilter(new ActivateOnPress(window));
}

bool desktopComposites() {
  if (QGuiApplication::platformName() != kX11Platform) return true;
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
  if (connection == nullptr) return true;
  const auto cookie = xcb_intern_atom(connection, 1, static_cast<uint16_t>(sizeof kCompositorSelection - 1),
                                      kCompositorSelection);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
  // The atom does not exist: nobody ever owned the selection.
  if (!atom || atom->atom == XCB_ATOM_NONE) return false;
  std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
      xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr),
      &std::free);
  return owner && owner->owner != XCB_WINDOW_NONE;
}

void shapeWithoutCompositor(QWidget* window, QRect shape, qreal radius) {
  if (desktopComposites()) {
    window->clearMask();
    return;
  }
  QPainterPath path;
  path.addRoundedRect(QRectF(shape), radius, radius);
  window->setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void followScreenRemoval(QWidget* window, std::function<void()> replace) {
  // Queued: by then the platform has let go of the screen, and a window
  // that no remaining screen shows is placed again.
  QObject::connect(
      qApp, &QGuiApplication::screenRemoved, window,
      [window, replace = std::move(replace)] {
        if (QGuiApplication::screenAt(window->geometry().center()) == nullptr) replace();
      },
      Qt::QueuedConnection);
}

}  // namespace kst::prompt
