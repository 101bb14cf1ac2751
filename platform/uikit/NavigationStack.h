#pragma once

#include <QList>
#include <QPointer>
#include <QStackedWidget>

namespace kst::uikit {

class NavigationStack;

// A screen of a navigation stack. The stack calls the appearance hooks as
// the original platform does: viewWillAppear before the screen shows,
// viewDidAppear once it shows (after the event loop has run), and
// viewWillDisappear before it is covered or popped.
class ViewController : public QWidget {
  Q_OBJECT

 public:
  explicit ViewController(QWidget* parent = nullptr) : QWidget(parent) {}

  NavigationStack* navigationStack() const { return stack_; }
  virtual void viewWillAppear() {}
  virtual void viewDidAppear() {}
  virtual void viewWillDisappear() {}

 private:
  friend class NavigationStack;
  QPointer<NavigationStack> stack_;
};

// One navigation stack: push and pop, a modal screen presented over the
// stack and dismissed again. The stack owns its screens; a popped or
// dismissed screen is deleted later.
class NavigationStack : public QStackedWidget {
  Q_OBJECT

 public:
  explicit NavigationStack(QWidget* parent = nullptr);

  void setRoot(ViewController* root);
  void push(ViewController* screen);
  void pop();
  // A modal screen over the top of the stack (the "Add App" chooser).
  void present(ViewController* screen);
  void dismissPresented();

  ViewController* top() const;
  int depth() const { return static_cast<int>(screens_.size()); }

 signals:
  void topChanged(ViewController* top);

 private:
  void showScreen(ViewController* screen);

  QList<ViewController*> screens_;
};

}  // namespace kst::uikit
