#include "hook/messaging/KstMessaging.h"

#include "hook/messaging/FirewallRest.h"
#include "hook/rules/KstMessageNames.h"

namespace kst {

KstMessaging::KstMessaging(KstServiceEnv env) : env_(std::move(env)) {}

bool KstMessaging::initMessagingCenter() {
  messagingCenter_ =
      startService(env_, msg::kRuleWriteService, {msg::kMessageThatHasInfo, msg::kGlobalMessageThatHasInfo},
                   [this](const std::string& name, const plist::Dictionary* userInfo) {
                     return handleMessageNamed(name, userInfo);
                   });
  return messagingCenter_ != nullptr;
}

std::optional<plist::Dictionary> KstMessaging::handleMessageNamed(std::string_view name,
                                                                  const plist::Dictionary* userInfo) {
  // The same writes the rule writer does when it runs in SpringBoard itself;
  // the sender waits for the (empty) reply, so its rule is on disk by then.
  if (userInfo == nullptr) return std::nullopt;
  if (name == msg::kMessageThatHasInfo) {
    FirewallRest::writeNowAppRules(env_.root, *env_.fs, *userInfo);
  } else if (name == msg::kGlobalMessageThatHasInfo) {
    FirewallRest::writeNowGlobalRules(env_.root, *env_.fs, *userInfo);
  }
  return std::nullopt;
}

void KstMessaging::handleSimpleMessageNamed(std::string_view /*name*/) {}

}  // namespace kst
