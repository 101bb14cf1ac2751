#pragma once

// A real X desktop for the end-to-end tests: Xvfb with openbox on a display
// of its own, the X programs a test starts on it, and the tools that drive
// and look at it (xdotool, xwininfo). Every program it started is stopped
// when it goes, the X server last.

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace kst::e2e {

// The program's path on PATH, or empty.
inline std::string onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::filesystem::path candidate = std::filesystem::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

// The window's frame on the screen: xwininfo's absolute corner and size.
struct Frame {
  int x = 0, y = 0, width = 0, height = 0;
  bool inside(const Frame& outer) const {
    return x >= outer.x && y >= outer.y && x + width <= outer.x + outer.width &&
           y + height <= outer.y + outer.height;
  }
};

class XDesktop {
 public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 800;
  // A loaded machine starts X slowly; a window manager that has not taken
  // the screen within one try is started again (it has been seen to stay
  // silent and never manage the screen).
  static constexpr double kStartSeconds = 60;
  static constexpr double kWindowManagerTrySeconds = 15;
  static constexpr int kWindowManagerTries = 4;
  static constexpr double kStopSeconds = 5;

  // Why no desktop can be made here, or empty: the tests skip only where
  // Xvfb is missing.
  static std::string missing() { return onPath("Xvfb").empty() ? "Xvfb is not installed" : std::string(); }

  explicit XDesktop(std::string dir, int width = kWidth, int height = kHeight)
      : dir_(std::move(dir)), width_(width), height_(height) {}
  XDesktop(const XDesktop&) = delete;
  XDesktop& operator=(const XDesktop&) = delete;
  ~XDesktop() {
    while (!clients_.empty()) {
      stop(*clients_.back());
      clients_.pop_back();
    }
    if (server_) stop(*server_);
  }

  // Starts Xvfb and openbox; false (with the reason in error()) when either
  // does not come up within the bounds.
  bool start() {
    // Xvfb takes a free display itself and writes its number: no guessing
    // and no race with another test's server.
    server_ = std::make_unique<Process>(
        std::vector<std::string>{onPath("Xvfb"), "-displayfd", "1", "-screen", "0",
                                 std::to_string(width_) + "x" + std::to_string(height_) + "x24", "-nolisten",
                                 "tcp"},
        Env{}, dir_ + "/xvfb.out", dir_ + "/xvfb.err");
    if (!waitFor([&] { return !testing::readText(dir_ + "/xvfb.out").empty() || server_->ended(); },
                 kStartSeconds) ||
        server_->ended())
      return fail("Xvfb did not start: " + testing::readText(dir_ + "/xvfb.err"));
    std::string number = testing::readText(dir_ + "/xvfb.out");
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    display_ = ":" + number;
    if (!waitFor([&] { return server_->ended() || tool({"xdpyinfo"}).first == 0; }, kStartSeconds) ||
        server_->ended())
      return fail("Xvfb on " + display_ + " did not answer: " + testing::readText(dir_ + "/xvfb.err"));
    if (onPath("openbox").empty()) return fail("openbox is not installed");
    std::string tries;
    for (int attempt = 1; attempt <= kWindowManagerTries; ++attempt) {
      Process& wm = startClient({onPath("openbox")}, "openbox");
      std::string seen;
      if (waitFor(
              [&] {
                // Up once it has published its desktops: a window mapped
                // before then is taken over (and moved) later.
                seen = tool({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK", "_NET_NUMBER_OF_DESKTOPS"}).second;
                return (seen.find("window id") != std::string::npos &&
                        seen.find("_NET_NUMBER_OF_DESKTOPS(CARDINAL) =") != std::string::npos) ||
                       wm.ended();
              },
              kWindowManagerTrySeconds) &&
          !wm.ended())
        return true;
      tries +=
          "\ntry " + std::to_string(attempt) + ": " +
          (wm.ended() ? "openbox ended with " + std::to_string(wm.wait()) : std::string("openbox silent")) +
          "; xprop: " + seen + "; openbox said: " + testing::readText(dir_ + "/openbox.err");
      stop(wm);
      clients_.pop_back();
    }
    return fail("openbox did not take the screen " + display_ + ":" + tries);
  }

  const std::string& error() const { return error_; }
  const std::string& display() const { return display_; }

  // The environment of programs on this desktop: this display, X11 for Qt.
  Env env(Env base = {}) const {
    base["DISPLAY"] = display_;
    base["QT_QPA_PLATFORM"] = std::string("xcb");
    base["WAYLAND_DISPLAY"] = std::nullopt;
    return base;
  }

  // A program on this desktop, stopped with the desktop.
  Process& startClient(std::vector<std::string> argv, const std::string& name, Env base = {}) {
    clients_.push_back(std::make_unique<Process>(argv, env(std::move(base)), dir_ + "/" + name + ".out",
                                                 dir_ + "/" + name + ".err"));
    return *clients_.back();
  }

  // Runs an X tool to its end: its status and standard output.
  std::pair<int, std::string> tool(const std::vector<std::string>& argv) const {
    std::vector<std::string> full = argv;
    full[0] = onPath(argv[0]);
    if (full[0].empty()) return {-1, argv[0] + " is not installed"};
    Process p(full, env(), dir_ + "/tool.out", dir_ + "/tool.err");
    p.closeInput();
    const int status = p.wait();
    return {status, testing::readText(dir_ + "/tool.out")};
  }
  std::string xdotool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out = tool(argv).second;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string focus() const { return xdotool({"getwindowfocus"}); }

  // The frame of a window by id (decimal or 0x...), as xwininfo reports it.
  std::optional<Frame> frame(const std::string& window) const {
    const auto [status, out] = tool({"xwininfo", "-id", window});
    if (status != 0) return std::nullopt;
    Frame f;
    auto field = [&out](const std::string& key, int* value) {
      const auto at = out.find(key);
      if (at == std::string::npos) return false;
      *value = std::atoi(out.c_str() + at + key.size());
      return true;
    };
    if (!field("Absolute upper-left X:", &f.x) || !field("Absolute upper-left Y:", &f.y) ||
        !field("Width:", &f.width) || !field("Height:", &f.height))
      return std::nullopt;
    return f;
  }

  // The whole screen as a PNG (through the test's own grabber).
  bool screenshot(const std::string& file) const {
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    Process p({KST_E2E_SCREEN_GRAB, file}, env(), dir_ + "/grab.out", dir_ + "/grab.err");
    p.closeInput();
    return p.wait() == 0 && std::filesystem::exists(file);
  }

  // Ends the X server at once, as a crash would; its programs lose the display.
  void killServer() {
    if (!server_ || server_->ended()) return;
    ::kill(server_->pid(), SIGKILL);
    server_->wait();
  }

 private:
  bool fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  // Asks politely, then insists: a killed Xvfb leaves its lock behind.
  static void stop(Process& p) {
    if (p.pid() <= 0 || p.ended()) return;
    ::kill(p.pid(), SIGTERM);
    if (!waitFor([&] { return p.ended(); }, kStopSeconds)) ::kill(p.pid(), SIGKILL);
    p.wait();
  }

  std::string dir_;
  int width_;
  int height_;
  std::string display_;
  std::string error_;
  std::unique_ptr<Process> server_;
  std::vector<std::unique_ptr<Process>> clients_;
};

}  // namespace kst::e2e
