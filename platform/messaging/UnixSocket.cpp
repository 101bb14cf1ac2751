#include "platform/messaging/UnixSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kst::messaging {

namespace {

bool fitsSunPath(std::string_view path) {
  return !path.empty() && path.size() < sizeof(sockaddr_un::sun_path);
}

// A folder only this user may enter. An existing one is accepted, and
// brought back to mode 0700 when it is ours.
bool makePrivateFolder(const std::string& path) {
  constexpr mode_t kMode = 0700;
  if (::mkdir(path.c_str(), kMode) == 0) return ::chmod(path.c_str(), kMode) == 0;  // whatever the umask
  if (errno != EEXIST) return false;
  // A folder someone else made (or a link to one) would let that user
  // replace or remove our sockets and serve in our place: refused, the
  // caller then serves nothing rather than serving there.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if ((st.st_mode & 07777) != kMode) return ::chmod(path.c_str(), kMode) == 0;
  return true;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::optional<SocketAddress> SocketAddress::forPath(const std::string& path) {
  SocketAddress out;
  out.addr_.sun_family = AF_UNIX;
  std::string name = path;
  if (!fitsSunPath(path)) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) return std::nullopt;
    const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    out.folder_.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!out.folder_.valid()) return std::nullopt;
    name = "/proc/self/fd/" + std::to_string(out.folder_.get()) + path.substr(slash);
    if (!fitsSunPath(name)) return std::nullopt;
  }
  std::memcpy(out.addr_.sun_path, name.data(), name.size());
  out.size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
  return out;
}

std::string runFolder(const DeviceRoot& root) {
  return root.path("/var/run/kestrix");
}

bool ensureRunFolder(const DeviceRoot& root, std::string_view sub) {
  // The folders above the run folder are ordinary ones.
  std::error_code ec;
  std::filesystem::create_directories(root.path("/var/run"), ec);
  if (ec) return false;
  const std::string run = runFolder(root);
  if (!makePrivateFolder(run)) return false;
  if (sub.empty()) return true;
  return makePrivateFolder(run + "/" + std::string(sub));
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool readExact(int fd, char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, out + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

UniqueFd connectStream(const std::string& path, std::chrono::milliseconds limit) {
  auto addr = SocketAddress::forPath(path);
  if (!addr) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return {};
  // A local connect waits only while the listener's backlog is full; the
  // send time-out bounds that wait. An interrupted one has not started.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    timeval tv{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd.get(), addr->get(), addr->size()) == 0 || errno == EISCONN) break;
    if (errno != EINTR) return {};
  }
  const timeval none{0, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  return fd;
}

}  // namespace kst::messaging
