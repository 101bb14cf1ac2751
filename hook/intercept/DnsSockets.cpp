#include "hook/intercept/DnsSockets.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>

namespace kst {

namespace {

constexpr int kDnsPort = 53;
// The largest DNS message and its length.
constexpr std::size_t kMaxStreamBytes = 2 + 65535;

constinit DnsSockets gDnsSockets;
std::once_flag gForkHandlers;

}  // namespace

DnsSockets& dnsSockets() noexcept {
  return gDnsSockets;
}

bool DnsSockets::isDnsDestination(const sockaddr* address, socklen_t length) noexcept {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return false;
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  in_port_t port = 0;
  if (family == AF_INET && length >= static_cast<socklen_t>(offsetof(sockaddr_in, sin_port) + sizeof port)) {
    std::memcpy(&port, reinterpret_cast<const char*>(address) + offsetof(sockaddr_in, sin_port), sizeof port);
  } else if (family == AF_INET6 &&
             length >= static_cast<socklen_t>(offsetof(sockaddr_in6, sin6_port) + sizeof port)) {
    std::memcpy(&port, reinterpret_cast<const char*>(address) + offsetof(sockaddr_in6, sin6_port),
                sizeof port);
  } else {
    return false;
  }
  return ntohs(port) == kDnsPort;
}

std::uint64_t DnsSockets::identityOf(int fd) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  // Socket inodes are numbered within one file system: the number alone
  // tells two live sockets apart. Never 0 for a socket.
  return static_cast<std::uint64_t>(st.st_ino) | (std::uint64_t{1} << 63);
}

void DnsSockets::mark(int fd) noexcept {
  if (fd < 0 || fd >= kMaxDescriptor) return;
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return;
  const Kind kind = type == SOCK_DGRAM ? Kind::kDatagram : type == SOCK_STREAM ? Kind::kStream : Kind::kNone;
  if (kind == Kind::kNone) return;
  const std::uint64_t identity = identityOf(fd);
  if (identity == 0) return;
  // Marked again (another question on the same socket): nothing changes.
  if (kindOf(fd) == kind && identities_[fd].load(std::memory_order_relaxed) == identity) return;
  if (kind == Kind::kStream) {
    std::call_once(gForkHandlers, [] {
      ::pthread_atfork([] { gDnsSockets.lockForFork(); }, [] { gDnsSockets.unlockAfterFork(); },
                       [] { gDnsSockets.unlockAfterFork(); });
    });
    dropStream(fd);
    anyStream_.store(true, std::memory_order_relaxed);
  }
  identities_[fd].store(identity, std::memory_order_relaxed);
  kinds_[fd].store(static_cast<std::uint8_t>(kind), std::memory_order_release);
}

void DnsSockets::clear(int fd, bool dropGathered) noexcept {
  if (fd < 0 || fd >= kMaxDescriptor) return;
  const Kind was = static_cast<Kind>(kinds_[fd].exchange(0, std::memory_order_acq_rel));
  identities_[fd].store(0, std::memory_order_relaxed);
  if (was == Kind::kStream && dropGathered) dropStream(fd);
}

bool DnsSockets::stillMarked(int fd) noexcept {
  if (kindOf(fd) == Kind::kNone) return false;
  if (identityOf(fd) == identities_[fd].load(std::memory_order_relaxed)) return true;
  clear(fd);
  return false;
}

void DnsSockets::dropStream(int fd) noexcept {
  if (!anyStream_.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(streamsMu_);
  if (streams_ != nullptr) streams_->erase(fd);
}

void DnsSockets::addStreamBytes(int fd, std::string_view bytes,
                                const std::function<void(const unsigned char*, std::size_t)>& message) {
  std::string whole;
  {
    std::lock_guard<std::mutex> lock(streamsMu_);
    if (streams_ == nullptr) streams_ = new std::map<int, std::string>();  // lives as long as the process
    std::string& gathered = (*streams_)[fd];
    gathered.append(bytes);
    // Takes every whole message off the front; keeps a partial one.
    std::size_t at = 0;
    while (gathered.size() - at >= 2) {
      const std::size_t size =
          static_cast<unsigned char>(gathered[at]) << 8 | static_cast<unsigned char>(gathered[at + 1]);
      if (gathered.size() - at - 2 < size) break;
      whole.append(gathered, at, 2 + size);
      at += 2 + size;
    }
    gathered.erase(0, at);
    if (gathered.size() > kMaxStreamBytes) gathered.clear();  // cannot happen with whole messages taken off
    if (gathered.empty()) streams_->erase(fd);
  }
  // Read outside the lock.
  for (std::size_t at = 0; at + 2 <= whole.size();) {
    const std::size_t size =
        static_cast<unsigned char>(whole[at]) << 8 | static_cast<unsigned char>(whole[at + 1]);
    message(reinterpret_cast<const unsigned char*>(whole.data() + at + 2), size);
    at += 2 + size;
  }
}

}  // namespace kst
