#pragma once

#include "panel/store/SettingsModel.h"
#include "panel/ui/KstScreen.h"
#include "platform/uikit/Switch.h"

namespace kst::uikit {
class TableRow;
}

namespace kst::panel {

// The settings screen: the master switch, the global switches, the ways to
// the documentation, the log and import/export, and deleting everything.
class KstSettingsViewController : public KstScreen {
  Q_OBJECT

 public:
  explicit KstSettingsViewController(PanelContext& context);

  void viewWillAppear() override;

 private:
  uikit::TableRow* addRow(const QString& title, const QString& under, const QString& name);
  uikit::Switch* addSwitch(uikit::TableRow* row, const QString& name);
  void globalSwitchChanged(const GlobalSwitch& which, bool on);
  void openDocumentation();
  void confirmDeleteAll();
  void showStates();

  SettingsModel model_;
  uikit::Switch* enabled_;
  std::vector<std::pair<const GlobalSwitch*, uikit::Switch*>> switches_;
};

}  // namespace kst::panel
