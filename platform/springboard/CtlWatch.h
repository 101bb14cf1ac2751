#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kst::springboard {

// `springboard-ctl watch`: prompts shown in a terminal as they appear on the
// shell's screen, answered with single keys. It only drives the control
// socket, as `state`, `select` and `tap` do, so any number of terminals may
// watch: the first answer wins, and a prompt answered on the screen (or in
// another terminal) leaves this one too.

// The command's name; it runs in springboard-ctl, not in the shell.
inline constexpr const char* kWatchCommand = "watch";

// One reply of the control socket.
struct CtlReply {
  bool reached = false;
  bool ok = false;
  std::string output;
};
using CtlAsk = std::function<CtlReply(const std::string& command, const std::string& argument)>;

// What "state" says of the prompt on screen.
struct PromptView {
  bool shown = false;
  std::string question, host, url;
  struct Control {
    std::string name;
    std::vector<std::string> segments;
    std::vector<int> selected;
    bool enabled = true;
    bool operator==(const Control&) const = default;
  };
  std::vector<Control> controls;
  std::vector<std::string> buttons;  // the six answers first, in their order

  static PromptView parse(const std::string& stateOutput);
  bool operator==(const PromptView&) const = default;
};

// What a key asks for: a control command and its argument.
struct KeyCommand {
  std::string command;   // "select" or "tap"
  std::string argument;  // "mode 1", "Always", ...
};
std::optional<KeyCommand> commandForKey(char key, const PromptView& prompt);

// The prompt as the terminal shows it, with the keys' help line.
std::string describeForTerminal(const PromptView& prompt);
// The help line alone.
std::string keysHelp(const PromptView& prompt);

// Runs until the terminal closes, the user types "q", or a signal ends it.
// `input` must be a terminal (it is put in single-key mode and restored).
// Returns the process exit status.
int watchPrompts(int input, const CtlAsk& ask);

}  // namespace kst::springboard
