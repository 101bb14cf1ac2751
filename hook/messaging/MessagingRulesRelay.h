#pragma once

#include <string_view>

#include "hook/store/KstSettingsManager.h"
#include "platform/fs/DeviceRoot.h"

namespace kst {

// The relay of the few applications that load their rules through
// SpringBoard: each call is a waiting send to
// "com.Dovrane.Radazira.ServiceExtended" under the given device root, on a
// centre obtained anew (nothing is kept, so any thread may call). A
// SpringBoard that cannot be reached gives an empty dictionary.
class MessagingRulesRelay : public RulesRelay {
 public:
  explicit MessagingRulesRelay(DeviceRoot root = DeviceRoot::process());
  plist::Dictionary sendAndWait(std::string_view messageName, const plist::Dictionary* userInfo) override;

 private:
  DeviceRoot root_;
};

}  // namespace kst
