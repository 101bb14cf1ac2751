#include "hook/messaging/PromptQuestion.h"

#include <string>

#include "hook/messaging/MessageValues.h"
#include "hook/messaging/PromptQueue.h"
#include "hook/rules/KstMessageNames.h"

namespace kst::prompt_question {

std::optional<plist::Dictionary> ask(const plist::Dictionary* question) {
  std::unique_ptr<KstPopUp> popUp = makeKstPopUp();
  if (!popUp) return std::nullopt;
  const KstPopUpAnswer answer = askWith(*popUp, question);
  popUp.reset();
  return answerDictionary(answer);
}

KstPopUpAnswer askWith(KstPopUp& popUp, const plist::Dictionary* question) {
  const std::optional<std::string> port = msg::stringValue(question, msg::kPortKey);
  const std::optional<std::string> host = msg::stringValue(question, msg::kHostKey);
  const std::optional<std::int64_t> orientation = msg::integerValue(question, msg::kOrientationKey);
  const std::optional<std::string> displayName = msg::stringValue(question, msg::kDisplayNameKey);
  const std::optional<bool> theme = msg::numberAsBool(question, msg::kThemeKey);
  const std::optional<std::string> url = msg::stringValue(question, msg::kUrlKey);
  const std::optional<std::string> bundleIdentifier = msg::stringValue(question, msg::kBundleIdentifierKey);

  return popUp.createAViewWithPort(port, host, orientation, displayName, theme, url, bundleIdentifier);
}

plist::Dictionary answerDictionary(const KstPopUpAnswer& answer) {
  plist::Dictionary reply{{std::string(msg::kWhatToDoKey), answer.whatToDo},
                          {std::string(msg::kAndToDoKey), answer.andToDo},
                          {std::string(msg::kPortToDoKey), answer.portToDo}};
  if (answer.host) reply.set(std::string(msg::kHostKey), *answer.host);
  return reply;
}

void queueQuestion(const KstServiceEnv& env, const plist::Dictionary* question,
                   std::shared_ptr<messaging::PendingReply> reply) {
  if (!reply) return;
  PromptQueue::Asker asker;
  asker.key = static_cast<std::uint64_t>(reply->asker());
  asker.gone = [reply] { return reply->askerGone(); };
  asker.answer = [reply](const std::optional<plist::Dictionary>& answer) {
    reply->send(answer.value_or(plist::Dictionary()));
  };
  std::optional<plist::Dictionary> copy;
  if (question != nullptr) copy = *question;
  PromptQueue& queue = *env.prompts;
  const std::uint64_t id = queue.enqueue(*env.flags, std::move(copy), std::move(asker));
  if (id != 0) reply->onAskerGone([&queue, id] { queue.askerLeft(id); });
}

std::optional<plist::Dictionary> handleQuestion(const KstServiceEnv& env, const plist::Dictionary* question) {
  return env.prompts->askHere(*env.flags, question);
}

plist::Dictionary isShowingWindowReply(const KstFlags& flags) {
  return plist::Dictionary{{std::string(msg::kIsShowingWindowKey), get(flags.isShowingWindow)}};
}

plist::Dictionary deviceOrientationReply(const KstServiceEnv& env) {
  return plist::Dictionary{{std::string(msg::kDeviceOrientationKey), env.currentDeviceOrientation()}};
}

}  // namespace kst::prompt_question
