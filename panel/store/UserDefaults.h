#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "panel/store/PanelStore.h"

namespace kst::panel {

// The settings application's own user-defaults domain: a small property
// list of its own beside the other preferences.
class UserDefaults {
 public:
  static constexpr std::string_view kPath = "/var/mobile/Library/Preferences/com.dovrane.KestrixPanel.plist";
  static constexpr std::string_view kShownIntroductionAlertKey = "shownIntroductionAlert";
  static constexpr std::string_view kShownIntroductionAlertValue = "asdf";

  explicit UserDefaults(const PanelStore& store) : store_(store) {}

  std::optional<plist::Value> objectForKey(std::string_view key) const;
  bool setObject(std::string_view key, plist::Value value) const;

 private:
  const PanelStore& store_;
};

}  // namespace kst::panel
