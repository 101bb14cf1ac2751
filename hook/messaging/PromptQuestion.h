#pragma once

#include <memory>
#include <optional>

#include "hook/messaging/KstPopUp.h"
#include "hook/messaging/KstServiceEnv.h"
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
// The same with a prompt already made; returns the prompt's answer.
KstPopUpAnswer askWith(KstPopUp& popUp, const plist::Dictionary* question);

// The answer dictionary of four prompt answer items.
plist::Dictionary answerDictionary(const KstPopUpAnswer& answer);

// "messageForWindow" / "messageForWindowUDP" served: the question joins
// SpringBoard's line of prompts, and `reply` carries the answer once its
// prompt has been answered (or the empty reply when no prompt can be
// shown). An asker that hangs up leaves the line, or closes its prompt. A
// one-way question (no `reply`) waits for nobody and is dropped.
void queueQuestion(const KstServiceEnv& env, const plist::Dictionary* question,
                   std::shared_ptr<messaging::PendingReply> reply);
// The same question answered on the calling thread, shown at once unless a
// prompt already waits there (then nothing). isShowingWindow is set while
// the prompt shows.
std::optional<plist::Dictionary> handleQuestion(const KstServiceEnv& env, const plist::Dictionary* question);

// {"isShowingWindow": boolean}.
plist::Dictionary isShowingWindowReply(const KstFlags& flags);
// {"deviceOrientation": integer}, the device's own value.
plist::Dictionary deviceOrientationReply(const KstServiceEnv& env);

}  // namespace kst::prompt_question
