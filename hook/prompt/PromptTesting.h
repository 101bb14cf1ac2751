#pragma once

// Widget tests: one offscreen QApplication per test binary, and where the
// screenshots go.
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <string>

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

}  // namespace kst::testing
