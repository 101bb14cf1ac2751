#pragma once

// Widget tests: one offscreen QApplication per test binary, where the
// screenshots go, and what a prompt runs in.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "hook/messaging/KstPopUp.h"
#include "hook/rules/KstFlags.h"
#include "platform/clock/Clock.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/QtRunLoop.h"

namespace kst::testing {

// Offscreen, unless the test chose an offscreen configuration of its own
// ("offscreen:configfile=...", its screens).
inline QApplication& testApplication() {
  static QApplication* app = [] {
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen == nullptr || std::string(chosen).rfind("offscreen:", 0) != 0)
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "kestrix-widget-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Writes the widget's picture to <artefacts>/screenshots/<name>.png and
// returns the path (empty when it could not be written).
inline std::string saveScreenshot(QWidget* widget, const std::string& name) {
#ifdef KST_ARTEFACT_DIR
  const std::filesystem::path dir = std::filesystem::path(KST_ARTEFACT_DIR) / "screenshots";
#else
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kestrix-screenshots";
#endif
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = (dir / (name + ".png")).string();
  return widget->grab().toImage().save(QString::fromStdString(path), "PNG") ? path : std::string();
}

// What a prompt runs in: a manual clock, flags of its own, SpringBoard's
// launch time and a Qt main loop, on a device unlocked and awake.
class PromptFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testApplication(); }

  void SetUp() override {
    loop_ = std::make_unique<QtRunLoop>(clock_);
    loop_->attach();
    context_.flags = &flags_;
    context_.launchTime = &launch_;
    context_.mainLoop = loop_.get();
    springboard::DeviceState& d = springboard::DeviceState::shared();
    d.setLocked(false);
    d.setDim(false);
    d.setModel("iPhone");
  }

  ManualClock clock_;
  KstFlags flags_;
  std::atomic<double> launch_{0};
  std::unique_ptr<QtRunLoop> loop_;
  KstPromptContext context_;
};

}  // namespace kst::testing
