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
  if (sbsMessaging_ == nullptr) return false;
  // Questions wait their turn in SpringBoard's line and are answered later.
  sbsMessaging_->registerForMessageNameReplyingLater(
      std::string(msg::kMessageForWindowUDP),
      [this](const std::string&, const plist::Dictionary* userInfo,
             std::shared_ptr<messaging::PendingReply> reply) { handleQuestion(userInfo, std::move(reply)); });
  return true;
}

void MessagingSBSUDP::handleQuestion(const plist::Dictionary* userInfo,
                                     std::shared_ptr<messaging::PendingReply> reply) {
  prompt_question::queueQuestion(env_, userInfo, std::move(reply));
}

std::optional<plist::Dictionary> MessagingSBSUDP::handleMessageNamed(std::string_view name,
                                                                     const plist::Dictionary* userInfo) {
  if (name == msg::kMessageForWindowUDP) return prompt_question::handleQuestion(env_, userInfo);
  if (name == msg::kIsShowingWindow) return prompt_question::isShowingWindowReply(*env_.flags);
  if (name == msg::kGetDeviceOrientation) return prompt_question::deviceOrientationReply(env_);
  return std::nullopt;
}

void MessagingSBSUDP::handleSimpleMessageNamed(std::string_view /*name*/) {}

plist::Dictionary MessagingSBSUDP::handleInSpringBoardWithUserInfo(const plist::Dictionary* question,
                                                                   RunLoop* mainLoop) {
  std::optional<plist::Dictionary> answer = mainLoop != nullptr
                                                ? env_.prompts->ask(*env_.flags, *mainLoop, question)
                                                : env_.prompts->askHere(*env_.flags, question);
  return answer.value_or(plist::Dictionary());
}

}  // namespace kst
