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
  // With `mainLoop`, from any thread: the question waits its turn in
  // SpringBoard's line, shown from that loop (on its own thread it cannot
  // wait, and is shown at once unless a prompt shows: then the empty
  // answer). Without: shown on the calling thread at once.
  plist::Dictionary handleInSpringBoardWithUserInfo(const plist::Dictionary* question,
                                                    RunLoop* mainLoop = nullptr);
  // A question served from another process: it joins the line, and
  // `reply` carries its answer.
  void handleQuestion(const plist::Dictionary* userInfo, std::shared_ptr<messaging::PendingReply> reply);

 private:
  KstServiceEnv env_;
  std::shared_ptr<MessagingCenter> sbsMessaging_;
};

}  // namespace kst
