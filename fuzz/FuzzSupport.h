#pragma once

// What the file and service targets share: a device's files held in memory
// (each run starts from nothing and no disk is touched), and the cutting of
// one input into a few selector bytes and a body.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"

namespace kst::fuzz {

// Files by full path. Writes replace whole files (as the real atomic write
// does); a missing parent folder is no obstacle, since nothing here lists
// folders.
class MemoryFileSystem final : public FileSystem {
 public:
  std::optional<std::string> readFile(const std::string& path) override {
    std::lock_guard lock(mu_);
    auto it = files_.find(path);
    if (it == files_.end()) return std::nullopt;
    return it->second;
  }
  bool writeFileAtomic(const std::string& path, std::string_view bytes, bool) override {
    std::lock_guard lock(mu_);
    files_[path] = std::string(bytes);
    return true;
  }
  bool exists(const std::string& path) override {
    std::lock_guard lock(mu_);
    return files_.count(path) != 0;
  }
  bool removeFile(const std::string& path) override {
    std::lock_guard lock(mu_);
    return files_.erase(path) != 0;
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::string> files_;
};

// Reads the input front to back: selector bytes, then the rest as a body.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : bytes_(reinterpret_cast<const char*>(data), size) {}
  std::uint8_t byte() {
    if (bytes_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return b;
  }
  std::string_view rest() const { return bytes_; }

 private:
  std::string_view bytes_;
};

}  // namespace kst::fuzz
