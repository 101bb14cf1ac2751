#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/fs/FileSystem.h"

namespace kst {

namespace {

bool makeParents(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

class PosixFileSystem final : public FileSystem {
 public:
  std::optional<std::string> readFile(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return std::nullopt;
    }
    // Read straight into a buffer of the file's size (a large rules file is
    // tens of megabytes); one more byte tells whether it grew meanwhile.
    std::string out;
    std::size_t have = 0;
    out.resize(static_cast<std::size_t>(st.st_size) + 1);
    for (;;) {
      if (have == out.size()) out.resize(out.size() * 2);
      const ssize_t n = ::read(fd, out.data() + have, out.size() - have);
      if (n < 0) {
        if (errno == EINTR) continue;
        ::close(fd);
        return std::nullopt;
      }
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(have);
    return out;
  }

  bool writeFileAtomic(const std::string& path, std::string_view bytes, bool createParents) override {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    if (createParents && !makeParents(path)) return false;
    std::string tmp = dir + "/." + path.substr(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
      ::unlink(tmp.c_str());
      return false;
    }
    // Make the rename itself durable.
    if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return true;
  }

  bool exists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }

  bool removeFile(const std::string& path) override { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }
};

}  // namespace

FileSystem& FileSystem::real() {
  static PosixFileSystem* fs = new PosixFileSystem();  // never destroyed: hooks outlive statics
  return *fs;
}

}  // namespace kst
