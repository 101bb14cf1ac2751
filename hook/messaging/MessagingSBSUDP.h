#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "hook/messaging/KstServiceEnv.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// SpringBoard's UDP question service,
// "com.Dovrane.Radazira.Service.WindowUDP": the prompt question
// "messageForWindowUDP" and the two small questions put before it. Owned
// and called exactly as MessagingSBS (main thread of SpringBoard only).
class MessagingSBSUDP {
 public:
  explicit MessagingSBSUDP(KstServiceEnv env = {});
  MessagingSBSUDP(const MessagingSBSUDP&) = delete;
  MessagingSBSUDP& operator=(const MessagingSBSUDP&) = delete;

  // Registers "messageForWindowUDP", "isShowingWindow" and
  // "getDeviceOrientation" and starts serving on the calling thread's run
  // loop. False when the service cannot start.
  bool initSBSMessaging();

  std::optional<plist::Dictionary> handleMessageNamed(std::string_view name,
                                                      const plist::Dictionary* userInfo);
  void handleSimpleMessageNamed(std::string_view name);
  plist::Dictionary handleInSpringBoardWithUserInfo(const plist::Dictionary* question);

 private:
  KstServiceEnv env_;
  std::shared_ptr<MessagingCenter> sbsMessaging_;
};

}  // namespace kst
