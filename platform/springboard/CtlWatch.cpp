#include "platform/springboard/CtlWatch.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sstream>

#include "platform/springboard/ControlProtocol.h"

namespace kst::springboard {

namespace {

// How often the screen is asked what it shows; a person does not notice
// a tenth of a second, and the shell answers "state" in microseconds.
constexpr int kPollMilliseconds = 100;
constexpr std::size_t kAnswerButtons = 6;
constexpr char kQuitKey = 'q';
constexpr char kEndOfTransmission = 0x04;  // Ctrl-D

// The keys of the three choices: the control, the segment and the key.
struct SegmentKey {
  char key;
  const char* control;
  int segment;
};
constexpr std::array<SegmentKey, 7> kSegmentKeys = {{{'a', "mode", 0},
                                                     {'d', "mode", 1},
                                                     {'n', "hostForm", 0},
                                                     {'*', "hostForm", 1},
                                                     {'.', "hostForm", 2},
                                                     {'p', "port", 0},
                                                     {'o', "port", 1}}};

volatile std::sig_atomic_t gStop = 0;
void stopWatching(int) {
  gStop = 1;
}

std::string afterPrefix(const std::string& line, const std::string& prefix) {
  return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, separator)) out.push_back(piece);
  return out;
}

// "control mode: Allow|Deny selected=0 enabled=1"
std::optional<PromptView::Control> parseControl(const std::string& rest) {
  const std::size_t colon = rest.find(": ");
  const std::size_t selected = rest.rfind(" selected=");
  const std::size_t enabled = rest.rfind(" enabled=");
  if (colon == std::string::npos || selected == std::string::npos || enabled == std::string::npos ||
      selected < colon || enabled < selected) {
    return std::nullopt;
  }
  PromptView::Control c;
  c.name = rest.substr(0, colon);
  c.segments = split(rest.substr(colon + 2, selected - colon - 2), '|');
  for (const std::string& index : split(rest.substr(selected + 10, enabled - selected - 10), ',')) {
    if (!index.empty() && index != "-" && index.find_first_not_of("0123456789") == std::string::npos &&
        index.size() < 4) {
      c.selected.push_back(std::stoi(index));
    }
  }
  c.enabled = rest.substr(enabled + 9) == "1";
  return c;
}

const PromptView::Control* controlNamed(const PromptView& prompt, const std::string& name) {
  for (const auto& c : prompt.controls)
    if (c.name == name) return &c;
  return nullptr;
}

std::string controlLine(const PromptView::Control& c) {
  std::string line = c.name + ":";
  for (std::size_t i = 0; i < c.segments.size(); ++i) {
    bool on = false;
    for (int s : c.selected) on = on || s == static_cast<int>(i);
    line += on ? " [" + c.segments[i] + "]" : " " + c.segments[i];
  }
  if (!c.enabled) line += " (locked)";
  return line;
}

void print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// Single keys, no echo; restored on every way out.
class SingleKeyMode {
 public:
  explicit SingleKeyMode(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd_, TCSANOW, &raw) == 0;
  }
  ~SingleKeyMode() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
  }
  SingleKeyMode(const SingleKeyMode&) = delete;
  SingleKeyMode& operator=(const SingleKeyMode&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

PromptView PromptView::parse(const std::string& stateOutput) {
  PromptView p;
  const std::vector<std::string> lines = split(stateOutput, '\n');
  if (lines.empty() || lines[0] != kPromptShownLine) return p;
  p.shown = true;
  for (const std::string& line : lines) {
    if (line.rfind("question: ", 0) == 0) {
      p.question = afterPrefix(line, "question: ");
    } else if (line.rfind("host: ", 0) == 0) {
      p.host = afterPrefix(line, "host: ");
    } else if (line.rfind("url: ", 0) == 0) {
      p.url = afterPrefix(line, "url: ");
    } else if (line.rfind("control ", 0) == 0) {
      if (auto c = parseControl(afterPrefix(line, "control "))) p.controls.push_back(std::move(*c));
    } else if (line.rfind("button: ", 0) == 0) {
      p.buttons.push_back(afterPrefix(line, "button: "));
    }
  }
  return p;
}

std::optional<KeyCommand> commandForKey(char key, const PromptView& prompt) {
  if (!prompt.shown) return std::nullopt;
  for (const SegmentKey& k : kSegmentKeys) {
    if (k.key != key) continue;
    const PromptView::Control* c = controlNamed(prompt, k.control);
    if (c == nullptr || k.segment >= static_cast<int>(c->segments.size())) return std::nullopt;
    return KeyCommand{kSelectCommand, std::string(k.control) + " " + std::to_string(k.segment)};
  }
  if (key >= '1' && key < static_cast<char>('1' + kAnswerButtons)) {
    const auto index = static_cast<std::size_t>(key - '1');
    if (index >= prompt.buttons.size()) return std::nullopt;
    std::string title = prompt.buttons[index];
    constexpr std::string_view kDisabled = " (disabled)";
    if (title.size() > kDisabled.size() && title.ends_with(kDisabled))
      title.resize(title.size() - kDisabled.size());
    return KeyCommand{kTapCommand, title};
  }
  return std::nullopt;
}

std::string keysHelp(const PromptView& prompt) {
  std::string help =
      "  keys: a allow, d deny | n host, * *host, . *.host | p all ports, o this port\n  answer:";
  for (std::size_t i = 0; i < prompt.buttons.size() && i < kAnswerButtons; ++i)
    help += (i == 0 ? " " : ", ") + std::to_string(i + 1) + " " + prompt.buttons[i];
  return help + " | q quit\n";
}

std::string describeForTerminal(const PromptView& prompt) {
  if (!prompt.shown) return "no prompt on screen\n";
  std::string text = "\n" + prompt.question + "\n  host: " + prompt.host + "\n";
  if (!prompt.url.empty() && prompt.url != " ") text += "  url:  " + prompt.url + "\n";
  for (const auto& c : prompt.controls)
    if (c.name != "hostParts") text += "  " + controlLine(c) + "\n";
  return text + keysHelp(prompt);
}

int watchPrompts(int input, const CtlAsk& ask) {
  if (::isatty(input) == 0) {
    std::fputs("springboard-ctl: watch needs a terminal\n", stderr);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = stopWatching;
  ::sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
  SingleKeyMode keys(input);
  print("watching for prompts (q to quit)\n");
  PromptView shown;
  bool warnedAway = false;
  while (gStop == 0) {
    const CtlReply state = ask(kStateCommand, "");
    if (!state.reached && !warnedAway) print("no springboard answers; still watching\n");
    warnedAway = !state.reached;
    const PromptView now = state.reached ? PromptView::parse(state.output) : PromptView{};
    if (now.shown && !(now == shown)) {
      print(shown.shown && now.question == shown.question && now.host == shown.host ? "" : "\a");
      print(describeForTerminal(now));
    } else if (!now.shown && shown.shown) {
      print("-- the prompt is gone (answered or timed out)\n");
    }
    shown = now;

    pollfd p{input, POLLIN, 0};
    const int ready = ::poll(&p, 1, kPollMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;
    if (ready == 0) continue;
    char key = 0;
    const ssize_t n = ::read(input, &key, 1);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;  // the terminal closed
    if (n < 0) continue;
    if (key == kQuitKey || key == kEndOfTransmission) break;
    const std::optional<KeyCommand> command = commandForKey(key, shown);
    if (!command) continue;
    const CtlReply reply = ask(command->command, command->argument);
    if (reply.ok) continue;
    std::string why = reply.output.empty() ? std::string("no springboard answers") : reply.output;
    while (!why.empty() && why.back() == '\n') why.pop_back();
    print("not taken: " + why + "\n");
  }
  return 0;
}

}  // namespace kst::springboard
