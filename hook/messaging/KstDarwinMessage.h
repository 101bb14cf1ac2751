#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "hook/messaging/KstServiceEnv.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// SpringBoard's rules-reply service, "com.Dovrane.Radazira.ServiceExtended":
// the few applications that cannot read the rule files themselves load
// their settings from its "std.Rules" and "global.Rules" replies. Every
// reply is built from the files as they are on disk at that moment; the
// object keeps nothing between messages. Served on SpringBoard's main
// thread; the object owns its centre (destroy it on that thread).
class KstDarwinMessage {
 public:
  explicit KstDarwinMessage(KstServiceEnv env = {});
  KstDarwinMessage(const KstDarwinMessage&) = delete;
  KstDarwinMessage& operator=(const KstDarwinMessage&) = delete;

  // Registers both messages and starts serving on the calling thread's run
  // loop. False when the service cannot start.
  bool initMessagingCenter();

  std::optional<plist::Dictionary> handleMessageNamed(std::string_view name,
                                                      const plist::Dictionary* userInfo);

 private:
  plist::Dictionary stdRulesReply(const plist::Dictionary* userInfo) const;
  plist::Dictionary globalRulesReply() const;

  KstServiceEnv env_;
  std::shared_ptr<MessagingCenter> center_;
};

}  // namespace kst
