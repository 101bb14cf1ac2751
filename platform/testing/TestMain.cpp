// The main of every test binary: the process's own device root is a fresh
// temporary folder, so nothing a test does can reach the user's files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kst-process-root-XXXXXX").string();
  const bool made = ::mkdtemp(tmpl.data()) != nullptr;
  if (made) ::setenv("KESTRIX_ROOT", tmpl.c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  std::error_code ec;
  if (made) std::filesystem::remove_all(tmpl, ec);
  return status;
}
