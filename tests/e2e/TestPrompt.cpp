// A scripted prompt for the end-to-end tests, installed in a test device
// root as usr/lib/KestrixHook9Prompt.dylib (and the Hook7 twin). SpringBoard
// loads it and calls KstPopUpCreate once per question. Each question is
// appended to <root>/test/questions as "host port bundleIdentifier url";
// the answer is the next unread line of <root>/test/answers,
// "whatToDo andToDo portToDo [host]" (host absent: the question's host). A
// question without an answer line gets "deny once".
//
// Questions arrive on SpringBoard's main thread; the line counter is
// guarded anyway since the factory may be called from any thread.

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>

#include "hook/messaging/KstPopUp.h"

namespace {

constexpr int kDenyOnce = 1;

std::string rootPath(const char* relative) {
  const char* root = std::getenv("KESTRIX_ROOT");
  return std::string(root != nullptr ? root : ".") + "/" + relative;
}

std::string text(const std::optional<std::string>& value) {
  return value && !value->empty() ? *value : std::string("-");
}

class ScriptedPopUp final : public kst::KstPopUp {
 public:
  kst::KstPopUpAnswer createAViewWithPort(const std::optional<std::string>& port,
                                          const std::optional<std::string>& host, std::optional<std::int64_t>,
                                          const std::optional<std::string>&, std::optional<bool>,
                                          const std::optional<std::string>& url,
                                          const std::optional<std::string>& bundleIdentifier) override {
    static std::mutex mu;
    static std::size_t answered = 0;
    std::lock_guard<std::mutex> lock(mu);

    kst::KstPopUpAnswer answer;
    answer.whatToDo = kDenyOnce;
    answer.host = host;
    std::ifstream answers(rootPath("test/answers"));
    std::string line;
    for (std::size_t i = 0; i <= answered && std::getline(answers, line); ++i) {
      if (i < answered) continue;
      std::istringstream fields(line);
      int what = kDenyOnce, form = 0, portScope = 0;
      std::string answerHost;
      if (fields >> what >> form >> portScope) {
        answer.whatToDo = what;
        answer.andToDo = form;
        answer.portToDo = portScope;
      }
      if (fields >> answerHost) answer.host = answerHost;
    }
    ++answered;
    // Written last, so that a test that sees the question also sees the
    // answer on its way.
    std::ofstream questions(rootPath("test/questions"), std::ios::app);
    questions << text(host) << ' ' << text(port) << ' ' << text(bundleIdentifier) << ' ' << text(url) << '\n';
    return answer;
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) kst::KstPopUp* KstPopUpCreate(const kst::KstPromptContext*) {
  return new (std::nothrow) ScriptedPopUp();
}
