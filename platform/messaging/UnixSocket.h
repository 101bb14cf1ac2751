#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fs/DeviceRoot.h"

namespace kst::messaging {

// Owns one file descriptor and closes it once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// The address of a Unix socket file at any path length. A path too long for
// sockaddr_un is reached through its folder: the folder is opened and the
// socket named "/proc/self/fd/<folder fd>/<name>", so the address stays
// valid as long as this object lives. Not copyable (it owns that folder).
class SocketAddress {
 public:
  static std::optional<SocketAddress> forPath(const std::string& path);

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  socklen_t size() const { return size_; }

 private:
  SocketAddress() = default;
  sockaddr_un addr_{};
  socklen_t size_ = 0;
  UniqueFd folder_;
};

// "<root>/var/run/kestrix", where the services' sockets live.
std::string runFolder(const DeviceRoot& root);
// Creates "<root>/var/run/kestrix" (and `sub` below it when given) as
// needed; both private to this user (mode 0700). Returns false when the
// folder cannot be made, or exists as something other than a folder of this
// user (a link, a file, another user's folder).
bool ensureRunFolder(const DeviceRoot& root, std::string_view sub = {});

// Blocking stream helpers. Both retry EINTR; writing never raises SIGPIPE.
bool writeAll(int fd, std::string_view bytes);
// False on end of file or error before `size` bytes arrived.
bool readExact(int fd, char* out, std::size_t size);

// Connects a blocking, close-on-exec stream socket to `path`, waiting at
// most `limit` for room in a full backlog. Invalid when nobody listens there
// (no file, refused, not a socket) or the limit ran out.
UniqueFd connectStream(const std::string& path,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

}  // namespace kst::messaging
