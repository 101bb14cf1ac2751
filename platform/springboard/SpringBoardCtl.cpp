#include "platform/springboard/SpringBoardCtl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

#include <unistd.h>

#include "platform/fs/DeviceRoot.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/springboard/ControlProtocol.h"
#include "platform/springboard/CtlWatch.h"

namespace kst::springboard {

namespace {

constexpr const char* kUsage =
    "usage: springboard-ctl [--root DIR] COMMAND [ARGUMENT...]\n"
    "commands: state | tap TITLE | select CONTROL INDEX | lock | unlock | dim | wake |\n"
    "          orientation N | alert TEXT | screenshot FILE | wait-prompt SECONDS | locate TITLE | watch\n"
    "watch: shows each prompt in this terminal and answers it with single keys\n";
constexpr auto kPollInterval = std::chrono::milliseconds(10);

struct Answer {
  bool reached = false;
  bool ok = false;
  std::string output;
};

Answer ask(const DeviceRoot& root, const std::string& command, const std::string& argument) {
  auto center = MessagingCenter::centerNamed(kControlService, root);
  plist::Dictionary info;
  info.set(kArgumentKey, argument);
  const plist::Dictionary reply = center->sendMessageAndReceiveReply(command, &info);
  Answer answer;
  const plist::Value* ok = reply.find(kOkKey);
  if (ok == nullptr) return answer;
  answer.reached = true;
  answer.ok = plist::boolValue(ok);
  if (const std::string* out = reply.string(kOutputKey)) answer.output = *out;
  return answer;
}

int waitPrompt(const DeviceRoot& root, const std::string& seconds) {
  double limit = 0;
  try {
    std::size_t used = 0;
    limit = std::stod(seconds, &used);
    if (used != seconds.size() || !(limit >= 0)) throw std::invalid_argument(seconds);
  } catch (const std::exception&) {
    std::fputs("springboard-ctl: wait-prompt needs a number of seconds\n", stderr);
    return 2;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
  for (;;) {
    const Answer state = ask(root, kStateCommand, "");
    // On screen and taking touches: a tap right after this is taken.
    if (state.reached && state.output.rfind(kPromptShownLine, 0) == 0 &&
        state.output.find(kTouchesIgnoredLine) == std::string::npos)
      return 0;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  std::fprintf(stderr, "springboard-ctl: no prompt within %s seconds\n", seconds.c_str());
  return 1;
}

}  // namespace

int springboardCtlMain(const std::vector<std::string>& args) {
  std::optional<std::string> rootDir;
  std::size_t i = 0;
  if (i + 1 < args.size() && args[i] == "--root") {
    rootDir = args[i + 1];
    i += 2;
  }
  if (i >= args.size() || args[i] == "--help") {
    std::fputs(kUsage, i >= args.size() ? stderr : stdout);
    return i >= args.size() ? 2 : 0;
  }
  const DeviceRoot root(rootDir ? *rootDir : DeviceRoot::defaultDir());
  const std::string command = args[i++];
  std::string argument;
  for (; i < args.size(); ++i) argument += (argument.empty() ? "" : " ") + args[i];

  static constexpr const char* kCommands[] = {
      kStateCommand,      kTapCommand,    kSelectCommand,      kLockCommand,  kUnlockCommand,
      kDimCommand,        kWakeCommand,   kOrientationCommand, kAlertCommand, kScreenshotCommand,
      kWaitPromptCommand, kLocateCommand, kWatchCommand};
  if (std::find(std::begin(kCommands), std::end(kCommands), command) == std::end(kCommands)) {
    std::fprintf(stderr, "springboard-ctl: unknown command %s\n%s", command.c_str(), kUsage);
    return 2;
  }
  if (command == kWaitPromptCommand) return waitPrompt(root, argument);
  if (command == kWatchCommand) {
    return watchPrompts(STDIN_FILENO, [&root](const std::string& name, const std::string& arg) {
      const Answer a = ask(root, name, arg);
      return CtlReply{a.reached, a.ok, a.output};
    });
  }
  if (command == kScreenshotCommand && !argument.empty()) {
    std::error_code ec;
    argument = std::filesystem::absolute(argument, ec).string();
  }
  const Answer answer = ask(root, command, argument);
  if (!answer.reached) {
    std::fprintf(stderr, "springboard-ctl: no springboard answers at %s\n", root.dir().c_str());
    return 1;
  }
  if (!answer.output.empty())
    std::fprintf(answer.ok ? stdout : stderr, "%s%s", answer.output.c_str(),
                 answer.output.back() == '\n' ? "" : "\n");
  return answer.ok ? 0 : 1;
}

}  // namespace kst::springboard
