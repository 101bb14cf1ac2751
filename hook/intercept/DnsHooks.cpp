#include "hook/intercept/DnsHooks.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "hook/intercept/CaptureHooks.h"
#include "hook/intercept/DnsResponse.h"
#include "hook/intercept/DnsSockets.h"
#include "hook/intercept/SignalHandlerState.h"

// The C library's fortified receive calls (what _FORTIFY_SOURCE builds
// call); declared here since the headers declare them only in such builds.
extern "C" ssize_t __recv_chk(int, void*, size_t, size_t, int);
extern "C" ssize_t __recvfrom_chk(int, void*, size_t, size_t, int, sockaddr*, socklen_t*);
extern "C" ssize_t __read_chk(int, void*, size_t, size_t);

namespace kst {

RecvFn orig_recv = ::recv;
RecvfromFn orig_recvfrom = ::recvfrom;
RecvmsgFn orig_recvmsg = ::recvmsg;
RecvmmsgFn orig_recvmmsg = ::recvmmsg;
ReadFn orig_read = ::read;
RecvChkFn orig___recv_chk = ::__recv_chk;
RecvfromChkFn orig___recvfrom_chk = ::__recvfrom_chk;
ReadChkFn orig___read_chk = ::__read_chk;

namespace {

// The largest DNS message: a datagram beyond it is no DNS.
constexpr std::size_t kMaxMessage = 65535;

void recordMessage(const unsigned char* message, std::size_t length) {
  if (std::optional<DnsAnswer> answer = parseDnsResponse(message, length))
    recordResolvedName(answer->question, answer->addresses);
}

// Gathers what a call received (`total` bytes over `count` buffers) and
// reads it as DNS. Leaves errno as it was; a failure inside (memory
// exhausted) loses only this answer.
void received(int fd, int flags, const iovec* buffers, std::size_t count, std::size_t total) noexcept {
  if ((flags & MSG_PEEK) != 0) return;  // the program reads these bytes again
  if (inSignalHandler()) return;
  const int savedErrno = errno;
  try {
    if (dnsSockets().stillMarked(fd)) {
      const bool stream = dnsSockets().kindOf(fd) == DnsSockets::Kind::kStream;
      // A copy: the program may change its buffer meanwhile.
      std::string copy;
      copy.reserve(std::min(total, kMaxMessage + 2));
      for (std::size_t i = 0; i < count && copy.size() < total; ++i) {
        if (buffers[i].iov_base == nullptr) continue;
        const std::size_t take = std::min(buffers[i].iov_len, total - copy.size());
        copy.append(static_cast<const char*>(buffers[i].iov_base), take);
      }
      if (stream) {
        dnsSockets().addStreamBytes(fd, copy, &recordMessage);
      } else if (copy.size() <= kMaxMessage) {
        recordMessage(reinterpret_cast<const unsigned char*>(copy.data()), copy.size());
      }
    }
  } catch (...) {
    ::syslog(LOG_WARNING, "Kestrix: reading a DNS answer failed; nothing recorded");
  }
  errno = savedErrno;
}

// The one check every receive pays: a relaxed load of the descriptor's flag.
inline bool isDnsSocket(int fd) noexcept {
  return dnsSockets().kindOf(fd) != DnsSockets::Kind::kNone;
}

void receivedInto(int fd, int flags, void* buffer, size_t length, ssize_t n) noexcept {
  // A datagram cut by MSG_TRUNC reports its whole length.
  const iovec one{buffer, length};
  received(fd, flags, &one, 1, std::min(static_cast<std::size_t>(n), length));
}

void receivedMessage(int fd, int flags, const msghdr* message, std::size_t n) noexcept {
  if (message == nullptr || message->msg_iov == nullptr) return;
  received(fd, flags, message->msg_iov, message->msg_iovlen, n);
}

}  // namespace

void noteDestination(int fd, const sockaddr* address, socklen_t length) noexcept {
  // Marking may lock (a stream's gathered bytes): never from a handler.
  if (DnsSockets::isDnsDestination(address, length) && !inSignalHandler()) {
    const int savedErrno = errno;
    dnsSockets().mark(fd);
    errno = savedErrno;
  }
}

ssize_t my_recv(int fd, void* buffer, size_t length, int flags) noexcept {
  const ssize_t n = orig_recv(fd, buffer, length, flags);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedInto(fd, flags, buffer, length, n);
  return n;
}

ssize_t my_recvfrom(int fd, void* buffer, size_t length, int flags, sockaddr* from,
                    socklen_t* fromLength) noexcept {
  const ssize_t n = orig_recvfrom(fd, buffer, length, flags, from, fromLength);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedInto(fd, flags, buffer, length, n);
  return n;
}

ssize_t my_recvmsg(int fd, msghdr* message, int flags) noexcept {
  const ssize_t n = orig_recvmsg(fd, message, flags);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedMessage(fd, flags, message, static_cast<std::size_t>(n));
  return n;
}

int my_recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) noexcept {
  const int n = orig_recvmmsg(fd, messages, count, flags, timeout);
  if (n > 0 && messages != nullptr && isDnsSocket(fd)) [[unlikely]] {
    for (int i = 0; i < n && static_cast<unsigned int>(i) < count; ++i)
      receivedMessage(fd, flags, &messages[i].msg_hdr, messages[i].msg_len);
  }
  return n;
}

ssize_t my_read(int fd, void* buffer, size_t length) noexcept {
  const ssize_t n = orig_read(fd, buffer, length);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedInto(fd, 0, buffer, length, n);
  return n;
}

ssize_t my___recv_chk(int fd, void* buffer, size_t length, size_t bufferLength, int flags) noexcept {
  const ssize_t n = orig___recv_chk(fd, buffer, length, bufferLength, flags);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedInto(fd, flags, buffer, length, n);
  return n;
}

ssize_t my___recvfrom_chk(int fd, void* buffer, size_t length, size_t bufferLength, int flags, sockaddr* from,
                          socklen_t* fromLength) noexcept {
  const ssize_t n = orig___recvfrom_chk(fd, buffer, length, bufferLength, flags, from, fromLength);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedInto(fd, flags, buffer, length, n);
  return n;
}

ssize_t my___read_chk(int fd, void* buffer, size_t length, size_t bufferLength) noexcept {
  const ssize_t n = orig___read_chk(fd, buffer, length, bufferLength);
  if (n > 0 && isDnsSocket(fd)) [[unlikely]]
    receivedInto(fd, 0, buffer, length, n);
  return n;
}

}  // namespace kst
