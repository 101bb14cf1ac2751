#include "hook/messaging/PromptQuestion.h"

#include <string>

#include "hook/messaging/KstMessageNames.h"
#include "hook/messaging/MessageValues.h"

namespace kst::prompt_question {

std::optional<plist::Dictionary> ask(const plist::Dictionary* question) {
  const std::optional<std::string> port = msg::stringValue(question, msg::kPortKey);
  const std::optional<std::string> host = msg::stringValue(question, msg::kHostKey);
  const std::optional<std::int64_t> orientation = msg::integerValue(question, msg::kOrientationKey);
  const std::optional<std::string> displayName = msg::stringValue(question, msg::kDisplayNameKey);
  const std::optional<bool> theme = msg::numberAsBool(question, msg::kThemeKey);
  const std::optional<std::string> url = msg::stringValue(question, msg::kUrlKey);
  const std::optional<std::string> bundleIdentifier = msg::stringValue(question, msg::kBundleIdentifierKey);

  std::unique_ptr<KstPopUp> popUp = makeKstPopUp();
  if (!popUp) return std::nullopt;
  const KstPopUpAnswer answer =
      popUp->createAViewWithPort(port, host, orientation, displayName, theme, url, bundleIdentifier);
  popUp.reset();
  return answerDictionary(answer);
}

plist::Dictionary answerDictionary(const KstPopUpAnswer& answer) {
  plist::Dictionary reply{{std::string(msg::kWhatToDoKey), answer.whatToDo},
                          {std::string(msg::kAndToDoKey), answer.andToDo},
                          {std::string(msg::kPortToDoKey), answer.portToDo}};
  if (answer.host) reply.set(std::string(msg::kHostKey), *answer.host);
  return reply;
}

std::optional<plist::Dictionary> handleQuestion(KstFlags& flags, const plist::Dictionary* question) {
  set(flags.isShowingWindow, true);
  std::optional<plist::Dictionary> answer = ask(question);
  set(flags.isShowingWindow, false);
  return answer;
}

plist::Dictionary isShowingWindowReply(const KstFlags& flags) {
  return plist::Dictionary{{std::string(msg::kIsShowingWindowKey), get(flags.isShowingWindow)}};
}

plist::Dictionary deviceOrientationReply(const KstServiceEnv& env) {
  return plist::Dictionary{{std::string(msg::kDeviceOrientationKey), env.currentDeviceOrientation()}};
}

}  // namespace kst::prompt_question
