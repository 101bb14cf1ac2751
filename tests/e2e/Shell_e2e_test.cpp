// The shell end to end: the real `springboard` (headless), its prompt
// library, programs under kestrix-launch making undecided connections, and
// `springboard-ctl` answering as a person would.

#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <sstream>

#include "ShellFixture.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/messaging/MessagingCenter.h"

namespace kst::e2e {
namespace {

struct Case {
  const char* button;
  int mode;  // 0 allow, 1 deny
  bool allowed;
};

#ifdef KST_E2E_RAW_CLIENT_STATIC
// A statically linked program's connect, seen only by kestrix-launch's
// supervisor, is asked at the prompt like any other. A program killed while
// its connect waits there leaves the supervisor serving the rest of its
// tree, and the answer that comes later connects nothing.
TEST_F(ShellTest, StaticProgramsConnectWaitsForThePrompt) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  const std::string pidFile = temp_.dir() + "/waiting.pid";
  const std::string script =
      "\"$0\" waiting \"$1\" \"$2\" & echo $! > \"$3\"; wait; \"$0\" tcp \"$1\" \"$2\"";
  Process tree(launchArgs("com.example.static",
                          {"sh", "-c", script, KST_E2E_RAW_CLIENT_STATIC, kShopIp, server.port(), pidFile}),
               env(), temp_.dir() + "/tree.out", temp_.dir() + "/tree.err");
  ASSERT_EQ(ctl({"wait-prompt", "30"}), 0) << text("ctl.err") << text("tree.err");
  EXPECT_NE(state().find(std::string("host: ") + kShopName), std::string::npos) << state();
  pid_t waiting = 0;
  ASSERT_TRUE(waitFor([&] { return (std::ifstream(pidFile) >> waiting) && waiting > 0; }));
  ASSERT_EQ(::kill(waiting, SIGKILL), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0) << text("ctl.err");

  // The rest of the tree connects to the same host and port: if its call
  // already waited behind that question it takes its answer (one prompt
  // per burst), else it asks anew and is answered here.
  ASSERT_TRUE(waitFor(
      [&] {
        if (lines("tree.out").size() >= 2) return true;
        if (state().rfind("prompt: shown\n", 0) == 0) ctl({"tap", "Once"});
        return false;
      },
      30))
      << text("tree.err");
  EXPECT_EQ(tree.wait(), 0) << text("tree.err");
  EXPECT_EQ(lines("tree.out"), (Lines{"waiting", "tcp" + kOk}));
}
#endif

TEST_F(ShellTest, EveryButtonInBothModesReachesTheWaitingConnect) {
  const Case cases[] = {{"Once", 0, true},
                        {"Once", 1, false},
                        {"Session", 0, true},
                        {"Session", 1, false},
                        {"All Session", 0, true},
                        {"All Session", 1, false},
                        {"Always", 0, true},
                        {"Always", 1, false},
                        {"All Connections", 0, true},
                        {"All Connections", 1, false},
                        {"Always & Global", 0, true},
                        {"Always & Global", 1, false}};
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.button) + (c.mode == 1 ? " deny" : " allow"));
    // A fresh application each time, so no earlier answer decides for it.
    const std::string bundle = "com.example.app" + std::to_string(n);
    const std::string name = "client" + std::to_string(n++);
    Process& client = startClient(bundle, name, kShopIp, server.port(), "App");
    client.writeLine("go");
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("ctl.err") << text(name + ".err");
    EXPECT_NE(state().find("question: App tries to contact (port " + server.port() + "):"),
              std::string::npos);
    EXPECT_NE(state().find(std::string("host: ") + kShopName), std::string::npos);
    if (c.mode == 1) {
      ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
    }
    EXPECT_NE(state().find(c.mode == 1 ? "control mode: Allow|Deny selected=1 enabled=1"
                                       : "control mode: Allow|Deny selected=0 enabled=1"),
              std::string::npos);
    ASSERT_EQ(ctl({"tap", c.button}), 0) << text("ctl.err");
    Lines out = results(name, 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], "tcp" + (c.allowed ? kOk : kRefused));

    const std::string title = c.button;
    if (title == "Once") {
      // Nothing kept: the next attempt asks again.
      client.writeLine("again");
      ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
      ASSERT_EQ(ctl({"tap", "Once"}), 0);
      results(name, 2);
    } else if (title == "Session" || title == "All Session") {
      // Kept in the process: the next attempt is decided without a prompt.
      client.writeLine("again");
      out = results(name, 2);
      ASSERT_EQ(out.size(), 2u);
      EXPECT_EQ(out[1], out[0]);
      EXPECT_NE(state().find("prompt: none"), std::string::npos);
      const auto rules = readPlist(files::kRulesPath);
      EXPECT_TRUE(!rules || rules->dictionary(bundle) == nullptr)
          << "a session answer reached the rules file";
    } else if (title == "Always") {
      const auto rules = readPlist(files::kRulesPath);
      ASSERT_TRUE(rules);
      const plist::Dictionary* entry = rules->dictionary(bundle);
      ASSERT_NE(entry, nullptr);
      const plist::Array* list = entry->array(c.mode == 1 ? "deny" : "allow");
      ASSERT_NE(list, nullptr);
      ASSERT_EQ(list->size(), 1u);
      EXPECT_EQ(*(*list)[0].asDictionary()->string(files::kRuleKey), kShopName);
    } else if (title == "All Connections") {
      const auto rules = readPlist(files::kRulesPath);
      ASSERT_TRUE(rules);
      ASSERT_NE(rules->dictionary(bundle), nullptr);
      EXPECT_EQ(*rules->dictionary(bundle)->string("allowEverything"), c.mode == 1 ? "2" : "1");
    } else {
      const auto global = readPlist(files::kGlobalRulesPath);
      ASSERT_TRUE(global);
      const plist::Array* list = global->array(c.mode == 1 ? files::kGlobalDenyKey : files::kGlobalAllowKey);
      ASSERT_NE(list, nullptr);
      EXPECT_EQ(*list->back().asDictionary()->string(files::kRuleKey), kShopName);
      // Global rules decide for everyone: clear them for the cases after.
      writeGlobal({});
    }
    client.closeInput();
    EXPECT_EQ(client.wait(), 0);
  }
  EXPECT_NE(state().find("answer: globalDeny shop.example"), std::string::npos);
}

TEST_F(ShellTest, HostFormPortAndPartsShapeTheRule) {
  writeText("/etc/hosts", std::string(kShopIp) + " api.shop.example\n");
  Server server(kShopIp);
  startShell();
  Process& client = startClient("com.example.mail", "client", kShopIp, server.port());
  client.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  EXPECT_NE(state().find("question: Mail tries to contact"), std::string::npos);
  ASSERT_EQ(ctl({"select", "hostParts", "0"}), 1)
      << "the host-part panel shows only after a host-form change";
  ASSERT_EQ(ctl({"select", "hostForm", "2"}), 0);
  ASSERT_EQ(ctl({"select", "port", "1"}), 0);
  std::string s = state();
  EXPECT_NE(s.find("control hostParts: api|shop.example selected=0,1 enabled=1"), std::string::npos) << s;
  EXPECT_NE(s.find("hostParts panel: shown"), std::string::npos);
  ASSERT_EQ(ctl({"select", "hostParts", "0"}), 0);
  ASSERT_EQ(ctl({"tap", "OK"}), 0);
  ASSERT_EQ(ctl({"tap", "Always"}), 0);
  EXPECT_EQ(results("client", 1)[0], "tcp" + kOk);
  const auto rules = readPlist(files::kRulesPath);
  ASSERT_TRUE(rules);
  const plist::Array* allow = rules->dictionary("com.example.mail")->array("allow");
  ASSERT_NE(allow, nullptr);
  EXPECT_EQ(*(*allow)[0].asDictionary()->string(files::kRuleKey), "*.shop.example:" + server.port());
}

TEST_F(ShellTest, QuestionWithMissingKeysStillGetsAnAnswer) {
  startShell();
  auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), DeviceRoot(temp_.dir()));
  // Only a port: every later key is absent.
  const plist::Dictionary question{{std::string(msg::kPortKey), plist::Value("443")}};
  plist::Dictionary reply;
  std::thread asker(
      [&] { reply = center->sendMessageAndReceiveReply(std::string(msg::kMessageForWindow), &question); });
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  EXPECT_NE(state().find("question:  tries to contact (port 443):"), std::string::npos) << state();
  ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
  ASSERT_EQ(ctl({"tap", "Session"}), 0);
  asker.join();
  EXPECT_EQ(reply.find(msg::kWhatToDoKey) != nullptr ? *reply.find(msg::kWhatToDoKey)->asInteger() : -1, 7);
  EXPECT_EQ(reply.find(msg::kHostKey), nullptr);
  EXPECT_NE(state().find("prompt: none"), std::string::npos);
}

TEST_F(ShellTest, ASecondShellSaysSoAndLeavesTheFirstServing) {
  startShell();
  Process second({KST_SPRINGBOARD, "--root", temp_.dir()}, shellEnv(), temp_.dir() + "/second.out",
                 temp_.dir() + "/second.err");
  second.closeInput();
  EXPECT_NE(second.wait(), 0);
  EXPECT_NE(text("second.err").find("another springboard"), std::string::npos) << text("second.err");
  // The first one still answers the control socket and asks the questions.
  EXPECT_EQ(ctl({"state"}), 0);
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  Process& client = startClient("com.example.app", "client", kShopIp, server.port(), "App");
  client.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << state();
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 1), (Lines{"tcp" + kOk}));
}

TEST_F(ShellTest, SecondQuestionWaitsUntilTheFirstPromptCloses) {
  Server server(kShopIp);
  startShell();
  Process& first = startClient("com.example.first", "first", kShopIp, server.port(), "First");
  first.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  Process& second = startClient("com.example.second", "second", kShopIp, server.port(), "Second");
  second.writeLine("go");
  // The second program polls "isShowingWindow" meanwhile; its question is
  // not shown over the first.
  auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), DeviceRoot(temp_.dir()));
  EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(temp_.dir() + "/second.out"); }));
  const plist::Dictionary showing =
      center->sendMessageAndReceiveReply(std::string(msg::kIsShowingWindow), nullptr);
  EXPECT_EQ(plist::boolValue(showing.find(msg::kIsShowingWindowKey)), true);
  EXPECT_NE(state().find("question: First tries"), std::string::npos);
  EXPECT_TRUE(lines("second.out").empty());
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("first", 1)[0], "tcp" + kOk);
  ASSERT_TRUE(waitFor([&] { return state().find("question: Second tries") != std::string::npos; }, 20));
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);  // past its first moments, which ignore touches
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("second", 1)[0], "tcp" + kOk);
  const plist::Dictionary after =
      center->sendMessageAndReceiveReply(std::string(msg::kIsShowingWindow), nullptr);
  EXPECT_EQ(plist::boolValue(after.find(msg::kIsShowingWindowKey)), false);
}

TEST_F(ShellTest, LockedShellJustLaunchedShowsThePromptAfterTheUnlock) {
  Server server(kShopIp);
  startShell();
  ASSERT_EQ(ctl({"lock"}), 0);
  Process& client = startClient("com.example.mail", "client", kShopIp, server.port());
  client.writeLine("go");
  EXPECT_NE(ctl({"wait-prompt", "1.5"}), 0) << "shown on a locked device within the start-up grace";
  ASSERT_EQ(ctl({"unlock"}), 0);
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 1)[0], "tcp" + kOk);
}

TEST_F(ShellTest, AlertRaisedDuringAPromptWaitsUntilItCloses) {
  Server server(kShopIp);
  startShell();
  Process& client = startClient("com.example.mail", "client", kShopIp, server.port());
  client.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  ASSERT_EQ(ctl({"alert", "Low Battery"}), 0);
  EXPECT_EQ(state().find("alert: Low Battery"), std::string::npos);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_TRUE(waitFor([&] { return state().find("\nalert: Low Battery") != std::string::npos; }, 15));
}

TEST_F(ShellTest, ShellKilledWhileAProgramWaitsLetsTheProgramGoOn) {
  Server server(kShopIp);
  startShell();
  Process& client = startClient("com.example.mail", "client", kShopIp, server.port());
  client.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  ::kill(shell_->pid(), SIGKILL);
  shell_->wait();
  const Lines out = results("client", 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "tcp" + kOk);  // an unreachable SpringBoard answers code 0
  client.closeInput();
  EXPECT_EQ(client.wait(), 0);
}

TEST_F(ShellTest, QtIsMappedInTheShellOnly) {
  Server server(kShopIp);
  startShell();
  Process& client = startClient("com.example.mail", "client", kShopIp, server.port());
  client.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  // The client is the launcher's supervisor's child.
  const std::string clientMaps =
      testing::readText("/proc/" + std::to_string(launchedProgram(client.pid())) + "/maps");
  const std::string shellMaps = testing::readText("/proc/" + std::to_string(shell_->pid()) + "/maps");
  EXPECT_NE(clientMaps.find("KestrixHook9.dylib"), std::string::npos) << "the client is not hooked";
  EXPECT_EQ(clientMaps.find("libQt6"), std::string::npos);
  EXPECT_EQ(clientMaps.find("Prompt.dylib"), std::string::npos);
  EXPECT_NE(shellMaps.find("libQt6Widgets"), std::string::npos);
  EXPECT_NE(shellMaps.find("KestrixHook9Prompt.dylib"), std::string::npos);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
}

TEST_F(ShellTest, GarbageOnTheControlSocketIsDisconnectedAndTheShellGoesOn) {
  startShell();
  const std::string path = temp_.path("/var/run/kestrix/springboard.control");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const char garbage[] = "\x00\x00\x00\x08not-a-plist-at-all";
  [[maybe_unused]] ssize_t n = ::write(fd, garbage, sizeof garbage - 1);
  char buf[16];
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_LE(::read(fd, buf, sizeof buf), 0) << "the connection stays open";
  ::close(fd);
  std::string out;
  EXPECT_EQ(ctl({"bogus-command"}, &out), 2);
  EXPECT_NE(out.find("unknown command"), std::string::npos);
  EXPECT_EQ(ctl({"orientation", "9"}), 1);
  EXPECT_EQ(ctl({"wait-prompt", "soon"}), 2);
  EXPECT_EQ(ctl({"wait-prompt", "0"}), 1);  // no prompt: fails at once
  EXPECT_NE(state().find("prompt: none"), std::string::npos);
}

TEST_F(ShellTest, ScreenshotsOfThePromptInEachOrientation) {
  Server server(kShopIp);
  startShell();
  for (int orientation : {1, 3, 4, 2}) {
    ASSERT_EQ(ctl({"orientation", std::to_string(orientation)}), 0);
    const std::string name = "client" + std::to_string(orientation);
    Process& client = startClient("com.example.mail", name, kShopIp, server.port());
    client.writeLine("go");
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
    // After the fade-in; the state call is only a pause that is not a sleep.
    waitFor([] { return false; }, 0.5);
    const std::string file = std::string(KST_ARTEFACT_DIR) + "/screenshots/shell-device-orientation-" +
                             std::to_string(orientation) + ".png";
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    ASSERT_EQ(ctl({"screenshot", file}), 0) << text("ctl.err");
    EXPECT_GT(std::filesystem::file_size(file), 1000u);
    if (orientation == 1) {
      ASSERT_EQ(ctl({"tap", "Port information"}), 0);
      ASSERT_EQ(ctl({"screenshot", std::string(KST_ARTEFACT_DIR) + "/screenshots/shell-port-panel.png"}), 0);
      ASSERT_EQ(ctl({"tap", "Close"}), 0);
    }
    ASSERT_EQ(ctl({"tap", "Once"}), 0);
    results(name, 1);
  }
}

// `springboard-ctl watch` in a terminal of its own: what it shows and what
// its keys send, seen through the pseudo-terminal as a person would.
class Watcher {
 public:
  Watcher(const std::string& root, const Env& env) {
    std::vector<std::string> argv = {KST_SPRINGBOARD_CTL, "--root", root, "watch"};
    std::vector<std::string> envStrings = testing::environmentWith(env);
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;
  ~Watcher() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  // Everything shown so far.
  const std::string& screen() {
    pollfd p{master_, POLLIN, 0};
    char buf[4096];
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      screen_.append(buf, static_cast<std::size_t>(n));
    }
    return screen_;
  }
  bool shows(const std::string& text, double seconds = 20) {
    return waitFor([&] { return screen().find(text) != std::string::npos; }, seconds);
  }
  void type(char key) { ASSERT_EQ(::write(master_, &key, 1), 1); }
  int exitStatus() {
    int status = 0;
    const bool ended = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10);
    exited_ = ended;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool started() const { return pid_ > 0 && master_ >= 0; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool exited_ = false;
  std::string screen_;
};

TEST_F(ShellTest, PromptsAnsweredFromTwoTerminalsFirstAnswerWins) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  Watcher first(temp_.dir(), env()), second(temp_.dir(), env());
  ASSERT_TRUE(first.started() && second.started());
  ASSERT_TRUE(first.shows("watching for prompts"));
  Process& client = startClient("com.example.mail", "watched", kShopIp, server.port(), "Mail");
  client.writeLine("go");
  ASSERT_TRUE(first.shows("Mail tries to contact")) << first.screen();
  ASSERT_TRUE(second.shows("Mail tries to contact")) << second.screen();
  EXPECT_NE(first.screen().find("host: shop.example"), std::string::npos) << first.screen();
  EXPECT_NE(first.screen().find("1 Once"), std::string::npos) << "the keys are listed";

  // Deny mode, then "Once": typed until the prompt takes it (it ignores
  // touches for its first moments, and says so).
  ASSERT_TRUE(waitFor(
      [&] {
        first.type('d');
        return first.shows("mode: Allow [Deny]", 0.5);
      },
      20))
      << first.screen();
  ASSERT_TRUE(waitFor(
      [&] {
        first.type('1');
        return lines("watched.out").size() >= 1;
      },
      20))
      << first.screen();
  EXPECT_EQ(results("watched", 1), (Lines{"tcp" + kRefused}));
  EXPECT_TRUE(first.shows("the prompt is gone"));
  EXPECT_TRUE(second.shows("the prompt is gone")) << "answered elsewhere, gone here too";

  // A second prompt, answered from the other terminal.
  client.writeLine("go");
  ASSERT_TRUE(waitFor(
      [&] { return second.screen().rfind("Mail tries to contact") > second.screen().find("gone"); }, 20));
  ASSERT_TRUE(waitFor(
      [&] {
        second.type('1');
        return lines("watched.out").size() >= 2;
      },
      20))
      << second.screen();
  EXPECT_EQ(results("watched", 2).back(), "tcp" + kOk) << "a new prompt starts in allow mode";
  first.type('q');
  second.type('q');
  EXPECT_EQ(first.exitStatus(), 0);
  EXPECT_EQ(second.exitStatus(), 0);
}

}  // namespace
}  // namespace kst::e2e
