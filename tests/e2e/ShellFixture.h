#pragma once

// The real shell (headless), its prompt library, programs under
// kestrix-launch and springboard-ctl: the fixture of the shell's end-to-end
// tests.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace kst::e2e {

class ShellTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // The real prompt and the shell's own stand-in classes.
    copy(KST_PROMPT9, temp_.path("/usr/lib/KestrixHook9Prompt.dylib"));
    copy(KST_PROMPT7, temp_.path("/usr/lib/KestrixHook7Prompt.dylib"));
    const std::string tweaks = temp_.path("/Library/MobileSubstrate/DynamicLibraries/");
    std::filesystem::remove(tweaks + "A_SpringBoardClasses.dylib");
    std::filesystem::remove(tweaks + "A_SpringBoardClasses.plist");
    writePlist("/Applications/Mail.app/Info.plist",
               plist::Dictionary{{"CFBundleIdentifier", plist::Value("com.example.mail")},
                                 {"CFBundleDisplayName", plist::Value("Mail")},
                                 {"CFBundleExecutable", plist::Value("mail")}});
  }
  void TearDown() override {
    clients_.clear();
    shell_.reset();
    E2eTest::TearDown();
  }

  virtual Env shellEnv() const {
    Env e = env();
    e["QT_QPA_PLATFORM"] = "offscreen";
    return e;
  }

  void startShell() {
    shell_ = std::make_unique<Process>(std::vector<std::string>{KST_SPRINGBOARD, "--root", temp_.dir()},
                                       shellEnv(), temp_.dir() + "/shell.out", temp_.dir() + "/shell.err");
    const std::string run = temp_.path("/var/run/kestrix/");
    ASSERT_TRUE(waitFor([&] {
      return std::filesystem::exists(run + "springboard.control") &&
             std::filesystem::exists(run + "com.Dovrane.Radazira.Service.Window") &&
             std::filesystem::exists(run + "com.Dovrane.Radazira.Service");
    })) << text("shell.err");
  }

  // springboard-ctl; its stdout (and stderr) in `output`.
  int ctl(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> argv = {KST_SPRINGBOARD_CTL, "--root", temp_.dir()};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = run(argv, "ctl");
    if (output != nullptr) *output = text("ctl.out") + text("ctl.err");
    return status;
  }
  std::string state() {
    std::string out;
    ctl({"state"}, &out);
    return out;
  }
  // The line of a state that starts with `prefix`, without it.
  static std::string lineOf(const std::string& state, const std::string& prefix) {
    const auto at = state.find("\n" + prefix);
    if (at == std::string::npos) return {};
    const auto from = at + 1 + prefix.size();
    return state.substr(from, state.find('\n', from) - from);
  }

  // A client as `bundle` that connects once per line written to it.
  Process& startClient(const std::string& bundle, const std::string& name, const std::string& ip,
                       const std::string& port, const std::string& displayName = "") {
    std::vector<std::string> argv = {KST_LAUNCH, bundle, "--root", temp_.dir()};
    if (!displayName.empty()) argv.insert(argv.end(), {"--display-name", displayName});
    argv.insert(argv.end(), {"--", KST_E2E_CLIENT, "lines", "tcp", ip, port});
    clients_.push_back(std::make_unique<Process>(argv, env(), temp_.dir() + "/" + name + ".out",
                                                 temp_.dir() + "/" + name + ".err"));
    return *clients_.back();
  }
  // The client's result lines once there are `count`.
  Lines results(const std::string& name, std::size_t count) {
    waitFor([&] { return lines(name + ".out").size() >= count; }, 20);
    return lines(name + ".out");
  }

  std::unique_ptr<Process> shell_;
  std::vector<std::unique_ptr<Process>> clients_;
};

}  // namespace kst::e2e
