#pragma once

#include <QWidget>
#include <memory>

#include "panel/ui/PanelContext.h"
#include "platform/uikit/NavigationStack.h"

namespace kst::panel {

class KstMainViewController;

// The application: one 320 x 480 window holding one navigation stack whose
// root is the main list.
class KstAppDelegate {
 public:
  explicit KstAppDelegate(PanelContext& context);

  // Builds and shows the window; true as the original start-up returns.
  bool didFinishLaunching();

  QWidget* window() const { return window_.get(); }
  uikit::NavigationStack* navigationStack() const { return stack_; }
  KstMainViewController* mainViewController() const { return main_; }

 private:
  PanelContext& context_;
  std::unique_ptr<QWidget> window_;
  uikit::NavigationStack* stack_ = nullptr;
  KstMainViewController* main_ = nullptr;
};

// The program: `--root DIR` as for the other tools.
int panelMain(int argc, char** argv);

}  // namespace kst::panel
