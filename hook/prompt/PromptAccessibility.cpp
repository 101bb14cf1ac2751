#include "hook/prompt/PromptAccessibility.h"

#include <QAccessibleWidget>
#include <QGraphicsProxyWidget>

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

QAccessibleInterface* promptFactory(const QString& className, QObject* object) {
  if (className == QLatin1String(KstWindow::staticMetaObject.className()))
    return new KstWindowAccessible(static_cast<KstWindow*>(object));
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
