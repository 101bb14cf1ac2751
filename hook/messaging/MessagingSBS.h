#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "hook/messaging/KstServiceEnv.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// SpringBoard's TCP question service, "com.Dovrane.Radazira.Service.Window":
// the prompt question "messageForWindow", the connection log's
// "logMessage", and the two small questions that every asking process puts
// first ("isShowingWindow", "getDeviceOrientation").
//
// SpringBoard creates one at start-up and serves it on its main thread for
// as long as it runs; the rule writer creates short-lived ones that never
// serve, only to run handleInSpringBoardWithUserInfo for a question that
// arises in SpringBoard itself. Every handler runs on SpringBoard's main
// thread. The object owns its centre: destroying it (on the serving thread,
// where its handlers run) ends the service.
class MessagingSBS {
 public:
  explicit MessagingSBS(KstServiceEnv env = {});
  MessagingSBS(const MessagingSBS&) = delete;
  MessagingSBS& operator=(const MessagingSBS&) = delete;

  // Registers "messageForWindow", "logMessage", "isShowingWindow" and
  // "getDeviceOrientation" and starts serving on the calling thread's run
  // loop. False when the service cannot start.
  bool initSBSMessaging();

  // The reply of one message, or nothing. A message of another name (and a
  // "logMessage", which is one-way) gets nothing.
  std::optional<plist::Dictionary> handleMessageNamed(std::string_view name,
                                                      const plist::Dictionary* userInfo);
  void handleSimpleMessageNamed(std::string_view name);

  // The prompt for a question from SpringBoard itself: the same answer
  // dictionary a question from another process gets, or an empty one when
  // no prompt can be shown. The prompt keeps isShowingWindow itself.
  // With `mainLoop`, from any thread: the question waits its turn in
  // SpringBoard's line, shown from that loop (on its own thread it cannot
  // wait, and is shown at once unless a prompt shows: then the empty
  // answer). Without: shown on the calling thread at once.
  plist::Dictionary handleInSpringBoardWithUserInfo(const plist::Dictionary* question,
                                                    RunLoop* mainLoop = nullptr);
  // A question served from another process: it joins the line, and
  // `reply` carries its answer.
  void handleQuestion(const plist::Dictionary* userInfo, std::shared_ptr<messaging::PendingReply> reply);

 private:
  // Appends the line to the log file; a file that is not UTF-16 text, a
  // line that is not text, or a failed write drops the line.
  void logLine(const plist::Dictionary* userInfo);

  KstServiceEnv env_;
  std::shared_ptr<MessagingCenter> sbsMessaging_;
};

}  // namespace kst
