#include "hook/messaging/MessagingSBSUDP.h"

#include "hook/messaging/KstMessageNames.h"
#include "hook/messaging/PromptQuestion.h"

namespace kst {

MessagingSBSUDP::MessagingSBSUDP(KstServiceEnv env) : env_(std::move(env)) {}

bool MessagingSBSUDP::initSBSMessaging() {
  sbsMessaging_ = startService(env_, msg::kWindowUDPService,
                               {msg::kMessageForWindowUDP, msg::kIsShowingWindow, msg::kGetDeviceOrientation},
                               [this](const std::string& name, const plist::Dictionary* userInfo) {
                                 return handleMessageNamed(name, userInfo);
                               });
  return sbsMessaging_ != nullptr;
}

std::optional<plist::Dictionary> MessagingSBSUDP::handleMessageNamed(std::string_view name,
                                                                     const plist::Dictionary* userInfo) {
  if (name == msg::kMessageForWindowUDP) return prompt_question::handleQuestion(*env_.flags, userInfo);
  if (name == msg::kIsShowingWindow) return prompt_question::isShowingWindowReply(*env_.flags);
  if (name == msg::kGetDeviceOrientation) return prompt_question::deviceOrientationReply(env_);
  return std::nullopt;
}

void MessagingSBSUDP::handleSimpleMessageNamed(std::string_view /*name*/) {}

plist::Dictionary MessagingSBSUDP::handleInSpringBoardWithUserInfo(const plist::Dictionary* question) {
  return prompt_question::ask(question).value_or(plist::Dictionary());
}

}  // namespace kst
