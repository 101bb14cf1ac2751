#include "platform/messaging/KeptFd.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace kst::messaging {

namespace {

// High enough that programs rarely reach it, low enough that the kernel's
// descriptor table (sized to the highest number in use) stays small.
constexpr rlim_t kPreferredFloor = 768;
// How many numbers from the floor up the library uses at most.
constexpr rlim_t kKeptSpan = 256;

}  // namespace

int KeptFd::floor() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
  // Three quarters of a small limit leaves the program the lower numbers.
  const rlim_t cap = limit.rlim_cur == RLIM_INFINITY ? kPreferredFloor : limit.rlim_cur / 4 * 3;
  return static_cast<int>(std::max<rlim_t>(3, std::min(kPreferredFloor, cap)));
}

int KeptFd::top() {
  const int low = floor();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return low;
  const rlim_t end = low + kKeptSpan;
  const rlim_t cap = limit.rlim_cur == RLIM_INFINITY ? end : std::min(end, limit.rlim_cur);
  return cap > static_cast<rlim_t>(low) ? static_cast<int>(cap - 1) : low;
}

KeptFd KeptFd::atTop(int fd) {
  if (fd < 0) return KeptFd();
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, top());
  if (high < 0) return KeptFd(fd);  // taken: where the others go
  ::close(fd);
  return inPlace(high);
}

KeptFd::KeptFd(int fd) {
  if (fd < 0) return;
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, floor());
  if (high >= 0) {
    ::close(fd);
    fd = high;
  } else {
    // No high number free: keep the original, still close-on-exec.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  *this = inPlace(fd);
}

KeptFd KeptFd::inPlace(int fd) {
  KeptFd out;
  if (fd < 0) return out;
  out.fd_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    out.dev_ = st.st_dev;
    out.ino_ = st.st_ino;
  }
  return out;
}

KeptFd& KeptFd::operator=(KeptFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    dev_ = other.dev_;
    ino_ = other.ino_;
  }
  return *this;
}

bool KeptFd::intact() const {
  if (fd_ < 0) return false;
  struct stat st {};
  return ::fstat(fd_, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void KeptFd::reset() {
  if (fd_ >= 0 && intact()) ::close(fd_);
  fd_ = -1;
}

}  // namespace kst::messaging
