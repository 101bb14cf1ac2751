#include "hook/prompt/PromptAccessibility.h"

#include <QAccessibleWidget>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>

#include "hook/prompt/KstWindow.h"
#include "platform/uikit/Accessibility.h"

namespace kst::prompt {

namespace {

class KstWindowAccessible final : public QAccessibleWidget {
 public:
  explicit KstWindowAccessible(KstWindow* window) : QAccessibleWidget(window, QAccessible::AlertMessage) {}

  int childCount() const override { return mainView() != nullptr ? 1 : 0; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && mainView() != nullptr ? QAccessible::queryAccessibleInterface(mainView()) : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && mainView() != nullptr && child->object() == mainView() ? 0 : -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    QAccessibleInterface* view = child(0);
    return view != nullptr && view->rect().contains(x, y) ? view : nullptr;
  }

 private:
  QWidget* mainView() const {
    const QGraphicsProxyWidget* proxy = static_cast<KstWindow*>(widget())->mainViewProxy();
    return proxy != nullptr ? proxy->widget() : nullptr;
  }
};

// The prompt's window that shows `widget` through its scene, if any.
KstWindow* promptWindowOf(QWidget* widget) {
  const QGraphicsProxyWidget* proxy = widget->graphicsProxyWidget();
  if (proxy == nullptr || proxy->scene() == nullptr) return nullptr;
  for (QGraphicsView* view : proxy->scene()->views()) {
    if (auto* window = qobject_cast<KstWindow*>(view->window()); window != nullptr) return window;
  }
  return nullptr;
}

// The prompt's main view lives in the window's scene, so to the toolkit it
// is a window of its own: its parent would be the application, and a screen
// reader moving up from the question would leave the prompt. Its parent is
// the prompt's window, which lists it as its one child.
class MainViewAccessible final : public QAccessibleWidget {
 public:
  explicit MainViewAccessible(QWidget* view) : QAccessibleWidget(view, QAccessible::Pane) {}

  QAccessibleInterface* parent() const override {
    if (KstWindow* window = promptWindowOf(widget()); window != nullptr) {
      return QAccessible::queryAccessibleInterface(window);
    }
    return QAccessibleWidget::parent();
  }
};

QAccessibleInterface* promptFactory(const QString& className, QObject* object) {
  if (className == QLatin1String(KstWindow::staticMetaObject.className()))
    return new KstWindowAccessible(static_cast<KstWindow*>(object));
  // Known by its name: it may be asked for before it is in the scene, and
  // the toolkit keeps the first interface it made.
  if (auto* widget = qobject_cast<QWidget*>(object);
      widget != nullptr && widget->metaObject() == &QWidget::staticMetaObject &&
      widget->objectName() == QLatin1String(kMainViewObjectName))
    return new MainViewAccessible(widget);
  return nullptr;
}

}  // namespace

void installPromptAccessibility() {
  uikit::installAccessibleInterfaces();
  static const bool installed = [] {
    QAccessible::installFactory(promptFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace kst::prompt
