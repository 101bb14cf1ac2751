#pragma once

// The desktop's accessibility bus for the end-to-end tests, as a screen
// reader finds it: a session bus of the test's own, the accessibility bus
// launched on it, and Qt programs told to publish their widgets there.

#include <signal.h>

#include <memory>
#include <string>

#include "E2eFixture.h"
#include "XDesktop.h"

namespace kst::e2e {

class AccessibilityBus {
 public:
  static constexpr const char* kLauncher = "/usr/libexec/at-spi-bus-launcher";
  // Debian's pyatspi is for the system's interpreter.
  static constexpr const char* kPython = "/usr/bin/python3";
  static constexpr double kStartSeconds = 30;

  // Why there is no accessibility bus here, or empty.
  static std::string missing() {
    if (onPath("dbus-daemon").empty()) return "dbus-daemon is not installed (dbus-bin)";
    if (::access(kLauncher, X_OK) != 0) return "at-spi2-core is not installed";
    if (std::system((std::string(kPython) + " -c 'import pyatspi' 2>/dev/null").c_str()) != 0) {
      return "python3-pyatspi is not installed";
    }
    return {};
  }

  explicit AccessibilityBus(std::string dir) : dir_(std::move(dir)) {}
  AccessibilityBus(const AccessibilityBus&) = delete;
  AccessibilityBus& operator=(const AccessibilityBus&) = delete;
  ~AccessibilityBus() {
    // The launcher goes first: it ends the accessibility bus it started.
    for (auto* p : {&launcher_, &session_}) {
      if (*p) {
        ::kill((*p)->pid(), SIGTERM);
        waitFor([&] { return (*p)->ended(); }, 5);
        p->reset();
      }
    }
  }

  // Starts the session bus and the accessibility bus on `desktop` (its
  // environment); false with the reason in error() when either does not
  // come up.
  bool start(const Env& desktop) {
    session_ = std::make_unique<Process>(
        std::vector<std::string>{onPath("dbus-daemon"), "--session", "--nofork", "--print-address=1"},
        desktop, dir_ + "/dbus.out", dir_ + "/dbus.err");
    if (!waitFor([&] { return !firstLine(dir_ + "/dbus.out").empty() || session_->ended(); },
                 kStartSeconds) ||
        firstLine(dir_ + "/dbus.out").empty()) {
      error_ = "the session bus did not start: " + testing::readText(dir_ + "/dbus.err");
      return false;
    }
    address_ = firstLine(dir_ + "/dbus.out");
    launcher_ = std::make_unique<Process>(std::vector<std::string>{kLauncher, "--launch-immediately"},
                                          env(desktop), dir_ + "/atspi.out", dir_ + "/atspi.err");
    // Ready when the accessibility bus answers on the session bus.
    const bool up = waitFor(
        [&] {
          if (launcher_->ended()) return true;
          Process probe({kPython, "-c", "import pyatspi; pyatspi.Registry.getDesktop(0).childCount"},
                        env(desktop), dir_ + "/probe.out", dir_ + "/probe.err");
          return probe.wait() == 0;
        },
        kStartSeconds);
    if (!up || launcher_->ended()) {
      error_ = "the accessibility bus did not start: " + testing::readText(dir_ + "/atspi.err");
      return false;
    }
    return true;
  }

  // `base` with the session bus and Qt's accessibility switched on.
  Env env(Env base) const {
    base["DBUS_SESSION_BUS_ADDRESS"] = address_;
    base["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = std::string("1");
    base["QT_ACCESSIBILITY"] = std::string("1");
    base["NO_AT_BRIDGE"] = std::nullopt;
    return base;
  }
  const std::string& error() const { return error_; }

 private:
  static std::string firstLine(const std::string& file) {
    const Lines all = testing::readLines(file);
    return all.empty() ? std::string() : all.front();
  }

  std::string dir_;
  std::string address_;
  std::string error_;
  std::unique_ptr<Process> session_;
  std::unique_ptr<Process> launcher_;
};

}  // namespace kst::e2e
