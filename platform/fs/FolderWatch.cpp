#include "platform/fs/FolderWatch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

namespace kst {

namespace {

// What a folder on the way to a file can do to that way.
constexpr std::uint32_t kWayMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// And what a file can undergo in its own folder: edits in place, a change
// of its permissions.
constexpr std::uint32_t kFileMask = kWayMask | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
// A folder is watched as itself (never through a symbolic link, which
// could be pointed elsewhere unseen), and several files may share it.
constexpr std::uint32_t kWatchFlags = IN_ONLYDIR | IN_DONT_FOLLOW | IN_MASK_ADD;
// The folder's watch has gone: removed, or the folder itself moved.
constexpr std::uint32_t kFolderGone = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

// Room for many events per read; the kernel never splits one.
constexpr std::size_t kReadBuffer = 16 * 1024;
constexpr std::size_t kFdInfoBuffer = 64 * 1024;

// Generations are process-wide, so that no watch (a new one after a lost
// descriptor or a fork) hands out one a reader saw from an earlier watch.
std::atomic<std::uint64_t> gNextGeneration{FileChanges::kUnwatched + 1};

std::uint64_t newGeneration() {
  return gNextGeneration.fetch_add(1, std::memory_order_relaxed);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The folders from "/" down to the file's own, and the entry each holds on
// the way. False for a path that is not absolute or goes back up ("..").
bool splitWay(const std::string& path, std::vector<std::string>& folders, std::vector<std::string>& names) {
  if (path.empty() || path.front() != '/') return false;
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t slash = path.find('/', at);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    std::string part = path.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    parts.push_back(std::move(part));
  }
  if (parts.empty()) return false;
  std::string folder = "/";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    folders.push_back(folder);
    names.push_back(parts[i]);
    folder = (folder == "/" ? folder : folder + "/") + parts[i];
  }
  return true;
}

}  // namespace

bool WatchQueue::caughtUp() const noexcept {
  const std::uint64_t taken = taken_.load(std::memory_order_seq_cst);
  const int fd = fd_.load(std::memory_order_seq_cst);
  if (fd < 0) return false;
  int queued = 0;
  if (::ioctl(fd, FIONREAD, &queued) != 0 || queued != 0) return false;
  // A program that took the number before the ioctl withdrew it first, and
  // counted that after this call read the number.
  if (taken_.load(std::memory_order_seq_cst) != taken) return false;
  // Read empty: whatever was queued before is read, and either published
  // or still being published (then not trusted yet).
  return !reading_.load(std::memory_order_seq_cst);
}

void WatchQueue::programTakes(int first, int last) noexcept {
  const int fd = fd_.load(std::memory_order_seq_cst);
  if (fd < 0 || fd < first || fd > last) return;
  fd_.store(-1, std::memory_order_seq_cst);
  taken_.fetch_add(1, std::memory_order_seq_cst);
}

FolderWatch::FolderWatch(std::vector<std::string> files, std::vector<FileChanges*> out, WatchQueue* queue)
    : queue_(queue) {
  for (std::size_t i = 0; i < files.size() && i < out.size(); ++i) {
    File f;
    f.path = std::move(files[i]);
    f.out = out[i];
    f.usable = f.out != nullptr && splitWay(f.path, f.folders, f.names);
    files_.push_back(std::move(f));
  }
}

FolderWatch::~FolderWatch() {
  if (queue_ != nullptr) queue_->forget();
  for (File& f : files_) {
    if (f.out != nullptr) f.out->forget();
  }
  // Closing the instance removes every watch with it; KeptFd closes only
  // a descriptor that is still ours.
}

bool FolderWatch::open() {
  fd_ = messaging::KeptFd::atTop(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd_.valid()) return false;
  opener_ = ::getpid();
  for (File& f : files_) arm(f);
  if (queue_ != nullptr) queue_->fd_.store(fd_.get(), std::memory_order_seq_cst);
  return true;
}

void FolderWatch::arm(File& f) {
  if (!f.usable || !fd_.valid()) return;
  std::vector<int> wds;
  for (std::size_t level = 0; level < f.folders.size(); ++level) {
    const std::uint32_t mask = level + 1 == f.folders.size() ? kFileMask : kWayMask;
    const int wd = ::inotify_add_watch(fd_.get(), f.folders[level].c_str(), mask | kWatchFlags);
    // Missing, not a folder (a symbolic link among them), or the watch
    // limit: the folders above stay watched, so the way being mended is
    // seen, and the file is looked at directly meanwhile.
    if (wd < 0) break;
    if (signatureWd_ < 0) {
      struct stat st {};
      if (::stat(f.folders[level].c_str(), &st) == 0) {
        signatureWd_ = wd;
        signatureInode_ = st.st_ino;
      }
    }
    wds.push_back(wd);
  }
  std::vector<int> old = std::exchange(f.wds, std::move(wds));
  f.armed = f.wds.size() == f.folders.size();
  rebuildIndex();
  // A folder moved away is still watched: no file needs it any more.
  for (const int wd : old) {
    if (uses_.find(wd) == uses_.end()) ::inotify_rm_watch(fd_.get(), wd);
  }
  if (f.armed) {
    // Watched before it is looked at: whatever happens after this look is
    // an event still to come.
    changed(f);
  } else {
    f.out->forget();
  }
}

void FolderWatch::disarm(File& f) {
  f.armed = false;
  f.wds.clear();
  if (f.out != nullptr) f.out->forget();
}

void FolderWatch::changed(File& f) {
  if (!f.armed) return;
  f.out->present_.store(exists(f.path), std::memory_order_release);
  f.out->generation_.store(newGeneration(), std::memory_order_release);
}

void FolderWatch::rebuildIndex() {
  uses_.clear();
  for (std::size_t i = 0; i < files_.size(); ++i) {
    for (std::size_t level = 0; level < files_[i].wds.size(); ++level)
      uses_[files_[i].wds[level]].push_back(Use{i, level});
  }
}

void FolderWatch::applyEvent(int wd, std::uint32_t mask, const char* name, std::vector<bool>& touched,
                             std::vector<bool>& rearm) {
  if ((mask & IN_Q_OVERFLOW) != 0) {
    // Events were lost: anything may have changed.
    for (std::size_t i = 0; i < files_.size(); ++i) touched[i] = rearm[i] = true;
    return;
  }
  const auto it = uses_.find(wd);
  if (it == uses_.end()) return;
  for (const Use& use : it->second) {
    File& f = files_[use.file];
    if ((mask & kFolderGone) != 0) {
      touched[use.file] = rearm[use.file] = true;
      continue;
    }
    if (name == nullptr || f.names[use.level] != name) continue;
    touched[use.file] = true;
    // A folder on the way changed: the way is looked up again.
    if (use.level + 1 < f.folders.size()) rearm[use.file] = true;
  }
}

void FolderWatch::onReadable() {
  if (!fd_.valid()) return;
  if (!ownsDescriptor()) {
    abandon();
    return;
  }
  std::vector<bool> touched(files_.size(), false);
  std::vector<bool> rearm(files_.size(), false);
  // Marked before the first read: a reader that finds the queue empty from
  // here on waits for what was read to be published.
  if (queue_ != nullptr) queue_->reading_.store(true, std::memory_order_seq_cst);
  alignas(inotify_event) char buf[kReadBuffer];
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
      inotify_event event;
      std::memcpy(&event, buf + at, sizeof event);
      const std::size_t size = sizeof(inotify_event) + event.len;
      if (at + size > static_cast<std::size_t>(n)) break;
      // The name is padded with zeros to its length.
      const char* name = event.len > 0 ? buf + at + sizeof(inotify_event) : nullptr;
      if (name != nullptr && ::memchr(name, '\0', event.len) == nullptr) name = nullptr;
      applyEvent(event.wd, event.mask, name, touched, rearm);
      at += size;
    }
  }
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (rearm[i]) {
      arm(files_[i]);  // publishes the change when armed again
    } else if (touched[i]) {
      changed(files_[i]);
    }
  }
  if (queue_ != nullptr) queue_->reading_.store(false, std::memory_order_seq_cst);
}

bool FolderWatch::ownsDescriptor() const {
  if (!fd_.intact()) return false;
  if (signatureWd_ < 0) return true;
  // All inotify instances share one inode: this one is told by a watch of
  // its own, listed in the descriptor's information.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd_.get());
  const int info = ::open(path, O_RDONLY | O_CLOEXEC);
  if (info < 0) return true;  // no /proc: identity as far as it can be told
  std::string text(kFdInfoBuffer, '\0');
  std::size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(info, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    if (got == text.size()) break;
  }
  ::close(info);
  text.resize(got);
  char signature[96];
  std::snprintf(signature, sizeof signature, "inotify wd:%x ino:%" PRIx64 " ", signatureWd_,
                static_cast<std::uint64_t>(signatureInode_));
  return text.find(signature) != std::string::npos;
}

bool FolderWatch::check() {
  // A parent's watch, come over in a fork: the child has its own.
  if (opener_ >= 0 && ::getpid() != opener_) return false;
  if (fd_.valid() && !ownsDescriptor()) abandon();
  if (fd_.valid() && queue_ != nullptr && queue_->descriptor() != fd_.get()) {
    // The program closed or replaced the number, or tried to: it is not
    // asked again. A new instance, with a number nobody has aimed at.
    letGo(true);
  }
  if (!fd_.valid()) return open();
  for (File& f : files_) {
    if (!f.armed) arm(f);
  }
  return false;
}

void FolderWatch::abandon() {
  // Not ours any more: never read, written or closed again.
  letGo(false);
}

void FolderWatch::letGo(bool close) {
  if (queue_ != nullptr) queue_->forget();
  if (close) {
    fd_.reset();
  } else {
    fd_.release();
  }
  for (File& f : files_) disarm(f);
  uses_.clear();
  signatureWd_ = -1;
}

std::size_t FolderWatch::watchedCount() const {
  std::size_t n = 0;
  for (const File& f : files_) n += f.armed ? 1 : 0;
  return n;
}

}  // namespace kst
