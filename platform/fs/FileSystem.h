#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kst {

// The files of the device, as the system sees them. All implementations are
// safe for concurrent use from several threads.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The whole file, or nothing when it is missing or cannot be read.
  virtual std::optional<std::string> readFile(const std::string& path) = 0;
  // Replaces the whole file atomically: a temporary file in the same folder,
  // fsync, rename. Missing parent folders are created only when asked.
  // Returns false, leaving any old file as it was, when anything fails.
  virtual bool writeFileAtomic(const std::string& path, std::string_view bytes, bool createParents) = 0;
  virtual bool exists(const std::string& path) = 0;
  virtual bool removeFile(const std::string& path) = 0;

  // The real disk.
  static FileSystem& real();
};

// Forwards every call to another file system; tests override the one call
// whose failure they want to see (disk full, unreadable file).
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  std::optional<std::string> readFile(const std::string& path) override { return target_.readFile(path); }
  bool writeFileAtomic(const std::string& path, std::string_view bytes, bool createParents) override {
    return target_.writeFileAtomic(path, bytes, createParents);
  }
  bool exists(const std::string& path) override { return target_.exists(path); }
  bool removeFile(const std::string& path) override { return target_.removeFile(path); }

 private:
  FileSystem& target_;
};

}  // namespace kst
