#include "hook/messaging/MessagingSBS.h"

#include "hook/messaging/MessageValues.h"
#include "hook/messaging/PromptQuestion.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/fs/Utf16File.h"

namespace kst {

WindowQuestionService::WindowQuestionService(KstServiceEnv env, Names names)
    : env_(std::move(env)), names_(names) {}

MessagingSBS::MessagingSBS(KstServiceEnv env)
    : WindowQuestionService(std::move(env), Names{msg::kWindowService, msg::kMessageForWindow, true}) {}

MessagingSBSUDP::MessagingSBSUDP(KstServiceEnv env)
    : WindowQuestionService(std::move(env), Names{msg::kWindowUDPService, msg::kMessageForWindowUDP, false}) {
}

bool WindowQuestionService::initSBSMessaging() {
  const auto handler = [this](const std::string& name, const plist::Dictionary* userInfo) {
    return handleMessageNamed(name, userInfo);
  };
  sbsMessaging_ =
      names_.takesLogLines
          ? startService(
                env_, names_.service,
                {names_.question, msg::kLogMessage, msg::kIsShowingWindow, msg::kGetDeviceOrientation},
                handler)
          : startService(env_, names_.service,
                         {names_.question, msg::kIsShowingWindow, msg::kGetDeviceOrientation}, handler);
  if (sbsMessaging_ == nullptr) return false;
  // Questions wait their turn in SpringBoard's line and are answered later.
  sbsMessaging_->registerForMessageNameReplyingLater(
      std::string(names_.question),
      [this](const std::string&, const plist::Dictionary* userInfo,
             std::shared_ptr<messaging::PendingReply> reply) { handleQuestion(userInfo, std::move(reply)); });
  return true;
}

void WindowQuestionService::handleQuestion(const plist::Dictionary* userInfo,
                                           std::shared_ptr<messaging::PendingReply> reply) {
  prompt_question::queueQuestion(env_, userInfo, std::move(reply));
}

std::optional<plist::Dictionary> WindowQuestionService::handleMessageNamed(
    std::string_view name, const plist::Dictionary* userInfo) {
  if (name == names_.question) return prompt_question::handleQuestion(env_, userInfo);
  if (name == msg::kIsShowingWindow) return prompt_question::isShowingWindowReply(*env_.flags);
  if (name == msg::kGetDeviceOrientation) return prompt_question::deviceOrientationReply(env_);
  if (names_.takesLogLines && name == msg::kLogMessage) logLine(userInfo);
  return std::nullopt;
}

void WindowQuestionService::handleSimpleMessageNamed(std::string_view /*name*/) {}

plist::Dictionary WindowQuestionService::handleInSpringBoardWithUserInfo(const plist::Dictionary* question,
                                                                         RunLoop* mainLoop) {
  std::optional<plist::Dictionary> answer = mainLoop != nullptr
                                                ? env_.prompts->ask(*env_.flags, *mainLoop, question)
                                                : env_.prompts->askHere(*env_.flags, question);
  return answer.value_or(plist::Dictionary());
}

void WindowQuestionService::logLine(const plist::Dictionary* userInfo) {
  const std::optional<std::string> line = msg::stringValue(userInfo, msg::kLogStringKey);
  if (!line) return;
  // Errors are not reported: the line is simply lost.
  utf16::appendToFile(*env_.fs, env_.root.path(files::kLogPath), *line, true);
}

}  // namespace kst
