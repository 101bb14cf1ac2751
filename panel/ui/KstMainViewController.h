#pragma once

#include "panel/store/AppListModel.h"
#include "panel/ui/AppTable.h"
#include "panel/ui/KstScreen.h"

namespace kst::uikit {
class TableRow;
class SectionGap;
}  // namespace kst::uikit

namespace kst::panel {

// The first screen: the global allow and deny rows over the applications of
// the rules file, with search, delete, the "Add App" chooser and the way to
// the settings. Rebuilt from the rules file every time it is shown.
class KstMainViewController : public KstScreen {
  Q_OBJECT

 public:
  explicit KstMainViewController(PanelContext& context);

  void viewDidAppear() override;

  void loadApps();
  void add();
  void addBundleIdentifier(const std::string& bundleIdentifier);
  void presentSettings();
  AppTable& apps() { return *appTable_; }

 private:
  void openApp(int row);
  void deleteApp(int row);
  void showIntroductionAlertIfNeeded();

  AppListModel model_;
  AppTable* appTable_;
  QWidget* globalSection_;
  bool shownDisabledAlert_ = false;
};

}  // namespace kst::panel
