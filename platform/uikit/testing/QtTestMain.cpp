// The main of the widget test binaries: a fresh device root for the
// process, the offscreen platform unless one is set, and one application
// object for all tests.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kst-process-root-XXXXXX").string();
  const bool made = ::mkdtemp(tmpl.data()) != nullptr;
  if (made) ::setenv("KESTRIX_ROOT", tmpl.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  std::error_code ec;
  if (made) std::filesystem::remove_all(tmpl, ec);
  return status;
}
