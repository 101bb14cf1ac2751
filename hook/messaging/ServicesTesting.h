#pragma once

#include "platform/testing/ForkedProcess.h"

// Helpers of the SpringBoard-service tests: a scripted prompt, and a
// SpringBoard stand-in process that serves the four services over a
// temporary device root and takes orders on a control service of its own.

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "hook/messaging/KstDarwinMessage.h"
#include "hook/messaging/KstMessaging.h"
#include "hook/messaging/KstPopUp.h"
#include "hook/messaging/MessageValues.h"
#include "hook/messaging/MessagingSBS.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/StoreTesting.h"
#include "platform/messaging/ClientExchange.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/plist/PlistFile.h"

namespace kst::plist {
// Failing expectations show dictionaries as XML.
inline void PrintTo(const Dictionary& dict, std::ostream* os) {
  const std::optional<std::string> xml = encodeXml(Value(dict));
  *os << (xml ? *xml : std::string("<not encodable>"));
}
}  // namespace kst::plist

namespace kst::testing {

// Answers questions from a queue of scripted answers. With the queue empty,
// a prompt waits the way the real one does: running the calling thread's
// run loop in short slices until an answer is pushed. Like the real prompt
// it sets isShowingWindow when it starts and its "choice" clears it.
class PromptScript {
 public:
  explicit PromptScript(KstFlags& flags) : flags_(flags) {}

  void push(KstPopUpAnswer answer) {
    std::lock_guard lock(mu_);
    answers_.push_back(std::move(answer));
  }
  // The questions asked so far, as dictionaries of the values present.
  plist::Array questions() const {
    std::lock_guard lock(mu_);
    return questions_;
  }
  bool waiting() const {
    std::lock_guard lock(mu_);
    return waiting_;
  }
  // How many prompts closed because their asker went away.
  int dismissals() const {
    std::lock_guard lock(mu_);
    return dismissals_;
  }
  // Runs on the prompt's thread right after the choice, before the answer
  // is returned.
  void onChoice(std::function<void()> fn) { onChoice_ = std::move(fn); }

  KstPopUpFactory factory() {
    return [this] { return std::make_unique<Prompt>(*this); };
  }

 private:
  class Prompt : public KstPopUp {
   public:
    explicit Prompt(PromptScript& script) : script_(script) {}
    KstPopUpAnswer createAViewWithPort(const std::optional<std::string>& port,
                                       const std::optional<std::string>& host,
                                       std::optional<std::int64_t> orientation,
                                       const std::optional<std::string>& displayName,
                                       std::optional<bool> themeNumber, const std::optional<std::string>& url,
                                       const std::optional<std::string>& bundleIdentifier) override {
      plist::Dictionary q;
      auto put = [&q](std::string_view key, const auto& v) {
        if (v) q.set(std::string(key), plist::Value(*v));
      };
      put(msg::kPortKey, port);
      put(msg::kHostKey, host);
      put(msg::kOrientationKey, orientation);
      put(msg::kDisplayNameKey, displayName);
      put(msg::kThemeKey, themeNumber);
      put(msg::kUrlKey, url);
      put(msg::kBundleIdentifierKey, bundleIdentifier);
      // Whether another prompt was still waiting when this one opened.
      q.set("overlapped", script_.waiting());
      return script_.run(std::move(q));
    }

    void dismiss() override { script_.dismissed_ = true; }

   private:
    PromptScript& script_;
  };

  KstPopUpAnswer run(plist::Dictionary question) {
    set(flags_.isShowingWindow, true);
    {
      std::lock_guard lock(mu_);
      questions_.emplace_back(std::move(question));
      waiting_ = true;
    }
    std::optional<KstPopUpAnswer> answer;
    dismissed_ = false;
    for (;;) {
      {
        std::lock_guard lock(mu_);
        if (dismissed_) {
          // Closed without a choice: what it returns is not read.
          answer = KstPopUpAnswer{};
          waiting_ = false;
          ++dismissals_;
          break;
        }
        if (!answers_.empty()) {
          answer = std::move(answers_.front());
          answers_.pop_front();
          waiting_ = false;
          break;
        }
      }
      if (RunLoop* loop = RunLoop::current()) {
        loop->runFor(Seconds(0.01));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    set(flags_.isShowingWindow, false);
    if (onChoice_) onChoice_();
    return *answer;
  }

  KstFlags& flags_;
  mutable std::mutex mu_;
  std::deque<KstPopUpAnswer> answers_;
  plist::Array questions_;
  bool waiting_ = false;
  bool dismissed_ = false;  // prompt's thread only
  int dismissals_ = 0;
  std::function<void()> onChoice_;
};

inline plist::Dictionary answerInfo(const KstPopUpAnswer& a) {
  plist::Dictionary d{{std::string(msg::kWhatToDoKey), a.whatToDo},
                      {std::string(msg::kAndToDoKey), a.andToDo},
                      {std::string(msg::kPortToDoKey), a.portToDo}};
  if (a.host) d.set(std::string(msg::kHostKey), *a.host);
  return d;
}

// Destroys a service on the thread of the loop that serves it, where its
// handlers run.
template <class T>
void destroyOn(LoopThread& thread, std::unique_ptr<T>& service) {
  thread.loop().performAndWait([&] { service.reset(); });
}

// Waits (at most 30 s) until `condition` holds.
inline bool eventually(const std::function<bool()>& condition) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// SpringBoard in a child process: KstMessaging, MessagingSBS,
// MessagingSBSUDP and KstDarwinMessage on the child's main thread, with a
// PromptScript as its prompt library (or none). Orders go to the control
// service "kst.test.SpringBoard": "answer" (an answer dictionary),
// "orientation" ({"value": n}), "state" (reply {"waiting", "questions",
// "polls": the "isShowingWindow" messages served so far}). Killed on
// destruction.
class SpringBoardProcess {
 public:
  static constexpr const char* kControl = "kst.test.SpringBoard";

  explicit SpringBoardProcess(const DeviceRoot& root, bool withPrompt = true)
      : root_(root), process_([&](int readyFd) { serve(root, withPrompt, readyFd); }) {}
  bool ok() const { return process_.ok(); }

  plist::Dictionary control(const std::string& name, const plist::Dictionary* info = nullptr) const {
    return MessagingCenter::centerNamed(kControl, root_)->sendMessageAndReceiveReply(name, info);
  }
  void answer(const KstPopUpAnswer& a) const {
    const plist::Dictionary info = answerInfo(a);
    control("answer", &info);
  }
  void setOrientation(int value) const {
    const plist::Dictionary info{{"value", value}};
    control("orientation", &info);
  }
  bool waiting() const { return plist::boolValue(control("state").find("waiting")); }
  plist::Array questions() const {
    const plist::Dictionary state = control("state");
    const plist::Array* q = state.array("questions");
    return q != nullptr ? *q : plist::Array();
  }
  std::int64_t polls() const {
    const plist::Dictionary state = control("state");
    return msg::integerValue(&state, "polls").value_or(-1);
  }

 private:
  // The child's life: never returns while the parent wants it.
  static void serve(const DeviceRoot& root, bool withPrompt, int readyFd) {
    PollRunLoop loop;
    KstFlags flags;
    auto orientation = std::make_shared<int>(1);
    KstServiceEnv env;
    env.root = root;
    env.flags = &flags;
    env.deviceOrientation = [orientation] { return *orientation; };
    PromptScript script(flags);
    setKstPopUpFactory(withPrompt ? script.factory() : KstPopUpFactory());

    KstMessaging ruleWrites(env);
    MessagingSBS window(env);
    MessagingSBSUDP windowUdp(env);
    KstDarwinMessage rules(env);
    std::int64_t polls = 0;
    // The TCP service is served through a counting front, so that tests can
    // see the asking side poll.
    auto front = MessagingCenter::centerNamed(std::string(msg::kWindowService), root);
    for (std::string_view name : {msg::kLogMessage, msg::kIsShowingWindow, msg::kGetDeviceOrientation}) {
      front->registerForMessageName(std::string(name),
                                    [&](const std::string& n, const plist::Dictionary* info) {
                                      if (n == msg::kIsShowingWindow) ++polls;
                                      return window.handleMessageNamed(n, info);
                                    });
    }
    front->registerForMessageNameReplyingLater(std::string(msg::kMessageForWindow),
                                               [&](const std::string&, const plist::Dictionary* info,
                                                   std::shared_ptr<messaging::PendingReply> reply) {
                                                 window.handleQuestion(info, std::move(reply));
                                               });
    auto control = MessagingCenter::centerNamed(kControl, root);
    control->registerForMessageName("answer", [&](const std::string&, const plist::Dictionary* info) {
      KstPopUpAnswer a;
      a.whatToDo = msg::clampToInt(msg::integerValue(info, msg::kWhatToDoKey).value_or(0));
      a.andToDo = msg::clampToInt(msg::integerValue(info, msg::kAndToDoKey).value_or(0));
      a.portToDo = msg::clampToInt(msg::integerValue(info, msg::kPortToDoKey).value_or(0));
      a.host = msg::stringValue(info, msg::kHostKey);
      script.push(a);
      return std::optional<plist::Dictionary>();
    });
    control->registerForMessageName("orientation", [&](const std::string&, const plist::Dictionary* info) {
      *orientation = msg::clampToInt(msg::integerValue(info, "value").value_or(0));
      return std::optional<plist::Dictionary>();
    });
    control->registerForMessageName("state", [&](const std::string&, const plist::Dictionary*) {
      return std::optional<plist::Dictionary>(
          plist::Dictionary{{"waiting", script.waiting()},
                            {"questions", script.questions()},
                            {"polls", polls},
                            {"dismissals", static_cast<std::int64_t>(script.dismissals())}});
    });
    loop.perform([&] {
      const bool ok = ruleWrites.initMessagingCenter() && front->runServerOnCurrentThread() &&
                      windowUdp.initSBSMessaging() && rules.initMessagingCenter() &&
                      control->runServerOnCurrentThread();
      const char c = ok ? '1' : '0';
      if (::write(readyFd, &c, 1) != 1 || !ok) ::_exit(3);
    });
    loop.run();
  }

  DeviceRoot root_;
  testing::ForkedProcess process_;
};

// A store fixture that talks to SpringBoard's services and reads the files
// they write, under the fixture's device root.
class ServicesFixture : public StoreFixture {
 protected:
  plist::Dictionary send(std::string_view service, const std::string& name,
                         const plist::Dictionary* info = nullptr,
                         const messaging::ExchangeLimits& limits = messaging::kDefaultExchangeLimits) {
    auto center = MessagingCenter::centerNamed(std::string(service), root_.root());
    center->setLimits(limits);
    return center->sendMessageAndReceiveReply(name, info);
  }
  std::optional<plist::Dictionary> file(std::string_view devicePath) {
    return plist::readDictionaryFile(FileSystem::real(), root_.path(devicePath));
  }
};

}  // namespace kst::testing
