#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "hook/messaging/KstServiceEnv.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// SpringBoard's rule-write service, "com.Dovrane.Radazira.Service": the
// rule writers of every other process send the changed application entry
// ("messageThatHasInfo") or the whole global dictionary
// ("GlobalMessageThatHasInfo") here, so that only SpringBoard writes the
// rule files. SpringBoard creates one at start-up and serves it on its main
// thread; handlers run there, one at a time. The object owns its centre
// (destroy it on that thread).
class KstMessaging {
 public:
  explicit KstMessaging(KstServiceEnv env = {});
  KstMessaging(const KstMessaging&) = delete;
  KstMessaging& operator=(const KstMessaging&) = delete;

  // Registers both messages and starts serving on the calling thread's run
  // loop. False when the service cannot start.
  bool initMessagingCenter();

  // Writes the rule file the message asks for; always replies nothing. An
  // argument without a usable entry is ignored.
  std::optional<plist::Dictionary> handleMessageNamed(std::string_view name,
                                                      const plist::Dictionary* userInfo);
  void handleSimpleMessageNamed(std::string_view name);

 private:
  KstServiceEnv env_;
  std::shared_ptr<MessagingCenter> messagingCenter_;
};

}  // namespace kst
