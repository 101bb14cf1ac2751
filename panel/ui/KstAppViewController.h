#pragma once

#include "panel/store/AppSwitchesModel.h"
#include "panel/ui/KstScreen.h"
#include "platform/uikit/Switch.h"

namespace kst::panel {

// One application's screen: its master switch in the title bar, allow all,
// deny all, still apply detailed rules, the WiFi block, and the ways to its
// allow and deny lists. Every change is written at once.
class KstAppViewController : public KstScreen {
  Q_OBJECT

 public:
  KstAppViewController(PanelContext& context, std::string bundleIdentifier, std::string displayName);

  void viewDidAppear() override;

  uikit::Switch* enabledSwitch() const { return enabledSwitch_; }

 private:
  uikit::Switch* addSwitchRow(const QString& title, const QString& under, const QString& name);
  void showSwitches();

  const std::string bundleID_;
  const std::string displayName_;
  AppSwitchesModel model_;
  uikit::Switch* enabledSwitch_;
  uikit::Switch* allowAll_ = nullptr;
  uikit::Switch* denyAll_ = nullptr;
  uikit::Switch* stillApply_ = nullptr;
  uikit::Switch* blockWiFi_ = nullptr;
  bool once_ = false;
};

}  // namespace kst::panel
