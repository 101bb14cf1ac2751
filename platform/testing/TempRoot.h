#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/fs/DeviceRoot.h"

namespace kst::testing {

// A fresh device root in a temporary folder, removed again at the end of
// the test. Tests never touch the user's files and can run in parallel.
class TempRoot {
 public:
  TempRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kst-root-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  ~TempRoot() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  const std::string& dir() const { return dir_; }
  DeviceRoot root() const { return DeviceRoot(dir_); }
  std::string path(std::string_view devicePath) const { return root().path(devicePath); }

 private:
  std::string dir_;
};

}  // namespace kst::testing
