#include "hook/prompt/KstWindow.h"

#include <QAccessible>
#include <QCursor>
#include <QEvent>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include "hook/prompt/PromptAccessibility.h"
#include "hook/prompt/PromptWindowing.h"
#include "platform/uikit/Backdrop.h"

namespace kst {

namespace {
constexpr const char* kWindowName = "KstWindow";
}

KstWindow::KstWindow(int width, int height)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  prompt::installPromptAccessibility();
  setObjectName(kWindowName);
  setAccessibleName("Connection prompt");
  setAttribute(Qt::WA_TranslucentBackground);
  prompt::keepAboveWithoutFocus(this);
  prompt::followScreenRemoval(this, [this] { placeOnPointerScreen(); });
  setFixedSize(width, height);
  scene_ = new QGraphicsScene(0, 0, width, height, this);
  view_ = new QGraphicsView(scene_, this);
  view_->setObjectName("KstWindowView");
  view_->setFrameShape(QFrame::NoFrame);
  view_->setStyleSheet("background: transparent");
  view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view_->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                        QPainter::SmoothPixmapTransform);
  view_->setGeometry(0, 0, width, height);
  view_->setSceneRect(0, 0, width, height);
  view_->installEventFilter(this);
}

void KstWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  QAccessibleEvent alert(this, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

bool KstWindow::eventFilter(QObject* watched, QEvent* event) {
  // Keys typed for what was on screen before the prompt must not answer it:
  // they are held back exactly while touches are.
  const QEvent::Type type = event->type();
  const bool touchesHeld = testAttribute(Qt::WA_TransparentForMouseEvents) ||
                           (mainProxy_ != nullptr && mainProxy_->acceptedMouseButtons() == Qt::NoButton);
  if (watched == view_ && touchesHeld &&
      (type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::ShortcutOverride))
    return true;
  // A click away from the controls focuses the main view's proxy but no
  // control in it, and the proxy then keeps Tab to itself. Tab starts the
  // chain from the top instead, as it does when the keyboard came in alone.
  if (watched == view_ && type == QEvent::KeyPress && mainProxy_ != nullptr &&
      scene_->focusItem() == mainProxy_ && mainProxy_->widget() != nullptr &&
      mainProxy_->widget()->focusWidget() == nullptr) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab) scene_->setFocusItem(nullptr);
  }
  return QWidget::eventFilter(watched, event);
}

KstWindow::~KstWindow() = default;

void KstWindow::setBackground(QWidget* background, QPointF topLeft) {
  backgroundProxy_ = scene_->addWidget(background);
  backgroundProxy_->setPos(topLeft);
  backgroundProxy_->setZValue(0);
  prompt::shapeWithoutCompositor(this, QRect(topLeft.toPoint(), background->size()),
                                 uikit::Backdrop::kCornerRadius);
  // Only a picture: it never holds the keyboard.
  backgroundProxy_->setFocusPolicy(Qt::NoFocus);
  backgroundProxy_->setFlag(QGraphicsItem::ItemIsFocusable, false);
}

void KstWindow::setMainView(QWidget* view, QPointF centre, int degrees) {
  mainProxy_ = scene_->addWidget(view);
  mainProxy_->setZValue(1);
  // The keyboard reaches the view's buttons with Tab from the window.
  mainProxy_->setFocusPolicy(Qt::StrongFocus);
  const QSizeF size = view->size();
  mainProxy_->setTransformOriginPoint(size.width() / 2, size.height() / 2);
  mainProxy_->setRotation(degrees);
  mainProxy_->setPos(centre.x() - size.width() / 2, centre.y() - size.height() / 2);
}

void KstWindow::placeOnPointerScreen() {
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

}  // namespace kst
