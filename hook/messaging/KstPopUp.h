#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kst {

struct KstFlags;
class RunLoop;

// What a prompt answers: the answer code ("whatToDo"), the host form
// ("andToDo"), the port scope ("portToDo") and the host text the rule is to
// be made for, which the prompt may leave absent.
struct KstPopUpAnswer {
  int whatToDo = 0;
  int andToDo = 0;
  int portToDo = 0;
  std::optional<std::string> host;
  // False when no answer came at all (no shell, or it broke off): the
  // codes above are then the failure rules' defaults.
  bool answered = true;
};

// The connection prompt as SpringBoard's question services see it: one
// question in, one answer out. The prompt itself (window, choices, time-out)
// lives in the prompt library, which is loaded only in SpringBoard and
// registers its factory below; the hook library knows nothing else of it.
//
// createAViewWithPort runs on SpringBoard's main thread and returns only when
// the person has chosen or the prompt has timed out; meanwhile it runs the
// main run loop in slices, so the services go on answering. It sets the
// process's isShowingWindow when it starts and every choice clears it. Any
// value of the question may be absent (a question that lacks a value lacks
// every later one too).
class KstPopUp {
 public:
  virtual ~KstPopUp() = default;
  virtual KstPopUpAnswer createAViewWithPort(const std::optional<std::string>& port,
                                             const std::optional<std::string>& host,
                                             std::optional<std::int64_t> orientation,
                                             const std::optional<std::string>& displayName,
                                             std::optional<bool> themeNumber,
                                             const std::optional<std::string>& url,
                                             const std::optional<std::string>& bundleIdentifier) = 0;
  // Closes the prompt while it waits, without a choice: its asker went
  // away. createAViewWithPort then returns soon with what it holds, which
  // nobody reads. Main thread, from inside the wait.
  virtual void dismiss() {}
};

using KstPopUpFactory = std::function<std::unique_ptr<KstPopUp>()>;

// What the hook library hands the prompt library, which SpringBoard loads
// beside it. Each library keeps its own copy of the process-wide state, so
// the prompt works on the hook library's: its flags (isShowingWindow,
// waitUntilDone), SpringBoard's launch time and its main queue. All outlive
// every prompt.
struct KstPromptContext {
  KstFlags* flags = nullptr;
  const std::atomic<double>* launchTime = nullptr;
  RunLoop* mainLoop = nullptr;
};

// The prompt library's one entry, `extern "C"`: a new prompt working on
// the context, or null.
inline constexpr const char* kPopUpCreateSymbol = "KstPopUpCreate";
using KstPopUpCreateFn = KstPopUp* (*)(const KstPromptContext* context);

// The process's prompt factory; an empty one unregisters. Safe from any
// thread. A process without one (every process but a SpringBoard that has
// loaded the prompt library) cannot show prompts: its question services
// answer a question with the empty reply, which the asking side reads as
// it reads an unreachable SpringBoard (answer code 0, no host).
void setKstPopUpFactory(KstPopUpFactory factory);
// A new prompt, or null when no factory is registered.
std::unique_ptr<KstPopUp> makeKstPopUp();

}  // namespace kst
