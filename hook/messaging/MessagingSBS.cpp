#include "hook/messaging/MessagingSBS.h"

#include "hook/messaging/KstMessageNames.h"
#include "hook/messaging/MessageValues.h"
#include "hook/messaging/PromptQuestion.h"
#include "hook/store/KstFiles.h"
#include "platform/fs/Utf16File.h"

namespace kst {

MessagingSBS::MessagingSBS(KstServiceEnv env) : env_(std::move(env)) {}

bool MessagingSBS::initSBSMessaging() {
  sbsMessaging_ = startService(
      env_, msg::kWindowService,
      {msg::kMessageForWindow, msg::kLogMessage, msg::kIsShowingWindow, msg::kGetDeviceOrientation},
      [this](const std::string& name, const plist::Dictionary* userInfo) {
        return handleMessageNamed(name, userInfo);
      });
  return sbsMessaging_ != nullptr;
}

std::optional<plist::Dictionary> MessagingSBS::handleMessageNamed(std::string_view name,
                                                                  const plist::Dictionary* userInfo) {
  if (name == msg::kMessageForWindow) return prompt_question::handleQuestion(*env_.flags, userInfo);
  if (name == msg::kIsShowingWindow) return prompt_question::isShowingWindowReply(*env_.flags);
  if (name == msg::kGetDeviceOrientation) return prompt_question::deviceOrientationReply(env_);
  if (name == msg::kLogMessage) logLine(userInfo);
  return std::nullopt;
}

void MessagingSBS::handleSimpleMessageNamed(std::string_view /*name*/) {}

plist::Dictionary MessagingSBS::handleInSpringBoardWithUserInfo(const plist::Dictionary* question) {
  return prompt_question::ask(question).value_or(plist::Dictionary());
}

void MessagingSBS::logLine(const plist::Dictionary* userInfo) {
  const std::optional<std::string> line = msg::stringValue(userInfo, msg::kLogStringKey);
  if (!line) return;
  // Errors are not reported: the line is simply lost.
  utf16::appendToFile(*env_.fs, env_.root.path(files::kLogPath), *line, true);
}

}  // namespace kst
