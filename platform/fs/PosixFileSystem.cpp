#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

// A temporary file is "." + the file's name + "." + six random characters.
constexpr std::size_t kTempSuffix = 6;

// A writer holds an exclusive lock on its temporary file from creating it
// until after the rename, so a temporary file that nobody holds is what a
// writer killed mid-write left behind: removed here, by the next writer of
// the same file.
void removeLeftovers(const std::string& dir, const std::string& prefix) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  const int dfd = ::dirfd(d);
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + kTempSuffix || name.substr(0, prefix.size()) != prefix) continue;
    const int fd = ::openat(dfd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat held {};
    struct stat named {};
    // Still the same file under that name: a writer that just finished has
    // renamed it away.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        ::fstatat(dfd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
      ::unlinkat(dfd, entry->d_name, 0);
    ::close(fd);
  }
  ::closedir(d);
}

// Creates and locks a temporary file beside the target. A cleaner may take
// a new file for a leftover in the moment before it is locked: a file that
// cannot be locked at once, or is found unlinked, is given up for another.
// Nothing here waits, so a cleaner's lock inherited by a forked child that
// lives on can never hold a writer up.
int createLockedTemp(const std::string& prefixPath, std::string& tmp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    tmp = prefixPath + std::string(kTempSuffix, 'X');
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 0) return fd;
    struct stat named {};
    if (::fstat(fd, &st) == 0 && ::lstat(tmp.c_str(), &named) == 0 && st.st_dev == named.st_dev &&
        st.st_ino == named.st_ino)
      ::unlink(tmp.c_str());
    ::close(fd);
  }
  return -1;
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
    const std::string prefix = "." + path.substr(slash + 1) + ".";
    removeLeftovers(dir, prefix);
    std::string tmp;
    const int fd = createLockedTemp(dir + "/" + prefix, tmp);
    if (fd < 0) return false;
    // The descriptor, and with it the lock, is kept until after the rename.
    const bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0 &&
                    ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    ::close(fd);  // written and synced before the rename: nothing of it can fail now
    if (!ok) return false;
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
