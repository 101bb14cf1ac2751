#pragma once

#include <optional>

#include "hook/messaging/KstServiceEnv.h"
#include "hook/prompt/KstPopUp.h"
#include "platform/plist/PlistValue.h"

// The parts that SpringBoard's two question services (MessagingSBS for TCP,
// MessagingSBSUDP for UDP) share. Main thread of SpringBoard only, like the
// services themselves.
namespace kst::prompt_question {

// Takes the question's seven values (each checked; a missing or mistyped
// one stays absent), puts them to a new prompt and returns the answer
// dictionary {"whatToDo", "andToDo", "portToDo", "host" (when the prompt
// gave one)}. Returns nothing when this process has no prompt (no prompt
// library registered): the asking side then reads the empty reply exactly
// as it reads an unreachable SpringBoard.
std::optional<plist::Dictionary> ask(const plist::Dictionary* question);

// The answer dictionary of four prompt answer items.
plist::Dictionary answerDictionary(const KstPopUpAnswer& answer);

// "messageForWindow" / "messageForWindowUDP": ask() with isShowingWindow
// set around it, so that the clients' polls keep other questions back.
std::optional<plist::Dictionary> handleQuestion(KstFlags& flags, const plist::Dictionary* question);

// {"isShowingWindow": boolean}.
plist::Dictionary isShowingWindowReply(const KstFlags& flags);
// {"deviceOrientation": integer}, the device's own value.
plist::Dictionary deviceOrientationReply(const KstServiceEnv& env);

}  // namespace kst::prompt_question
