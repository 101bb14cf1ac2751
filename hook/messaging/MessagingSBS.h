#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "hook/messaging/KstServiceEnv.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// One of SpringBoard's two question services: its prompt question and the
// two small questions that every asking process puts first
// ("isShowingWindow", "getDeviceOrientation"); the TCP one also takes the
// connection log's one-way "logMessage".
//
// SpringBoard creates one of each at start-up and serves them on its main
// thread for as long as it runs; the rule writer creates short-lived ones
// that never serve, only to run handleInSpringBoardWithUserInfo for a
// question that arises in SpringBoard itself. Every handler runs on
// SpringBoard's main thread. The object owns its centre: destroying it (on
// the serving thread, where its handlers run) ends the service.
class WindowQuestionService {
 public:
  struct Names {
    std::string_view service;
    std::string_view question;
    bool takesLogLines = false;
  };

  WindowQuestionService(KstServiceEnv env, Names names);
  WindowQuestionService(const WindowQuestionService&) = delete;
  WindowQuestionService& operator=(const WindowQuestionService&) = delete;

  // Registers the service's messages and starts serving on the calling
  // thread's run loop. False when the service cannot start.
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
  Names names_;
  std::shared_ptr<MessagingCenter> sbsMessaging_;
};

// The TCP service, "com.Dovrane.Radazira.Service.Window": "messageForWindow"
// and "logMessage".
class MessagingSBS : public WindowQuestionService {
 public:
  explicit MessagingSBS(KstServiceEnv env = {});
};

// The UDP service, "com.Dovrane.Radazira.Service.WindowUDP":
// "messageForWindowUDP".
class MessagingSBSUDP : public WindowQuestionService {
 public:
  explicit MessagingSBSUDP(KstServiceEnv env = {});
};

}  // namespace kst
