#include "platform/uikit/NavigationStack.h"

#include <QTimer>

namespace kst::uikit {

NavigationStack::NavigationStack(QWidget* parent) : QStackedWidget(parent) {
  setObjectName("navigationStack");
}

ViewController* NavigationStack::top() const {
  return screens_.isEmpty() ? nullptr : screens_.back();
}

void NavigationStack::showScreen(ViewController* screen) {
  screen->viewWillAppear();
  setCurrentWidget(screen);
  emit topChanged(screen);
  // "Did appear" runs once the screen is on screen, as on the original platform.
  QPointer<ViewController> guard(screen);
  QTimer::singleShot(0, this, [guard] {
    if (guard && guard->isVisible()) guard->viewDidAppear();
  });
}

void NavigationStack::setRoot(ViewController* root) {
  root->stack_ = this;
  screens_ = {root};
  addWidget(root);
  showScreen(root);
}

void NavigationStack::push(ViewController* screen) {
  if (ViewController* old = top()) old->viewWillDisappear();
  screen->stack_ = this;
  screens_.push_back(screen);
  addWidget(screen);
  showScreen(screen);
}

void NavigationStack::pop() {
  if (screens_.size() < 2) return;
  ViewController* gone = screens_.takeLast();
  gone->viewWillDisappear();
  showScreen(screens_.back());
  removeWidget(gone);
  gone->deleteLater();
}

// The stand-in presents a modal screen as a push without a way back but its
// own buttons.
void NavigationStack::present(ViewController* screen) {
  push(screen);
}
void NavigationStack::dismissPresented() {
  pop();
}

}  // namespace kst::uikit
