#include "platform/messaging/ClientExchange.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/messaging/Frame.h"
#include "platform/messaging/KeptFd.h"
#include "platform/messaging/UnixSocket.h"

namespace kst::messaging {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a question checks whether the service has read it yet: the
// kernel tells nothing when that happens, so the check is a short poll.
constexpr milliseconds kFirstTakenCheck{1};
constexpr milliseconds kLongestTakenCheck{50};
// At most this much is read per call; a large reply (a relay of a long
// global list is tens of megabytes) then takes few calls.
constexpr std::size_t kReadChunk = 1024 * 1024;
// The slowest rate at which a reply is still worth waiting for: a frame of
// the largest size then gets 16 s more than the limit, one of 1 MiB 64 ms.
constexpr double kSlowestReplyBytesPerSecond = 16.0 * 1024 * 1024;
// How long a socket file that refused a connection is left alone (less
// when the limits' back-off is shorter).
constexpr milliseconds kRefusedBackOff{1000};

// ---- back-off ---------------------------------------------------------------
// A few services per process, each known by its socket file's identity.
// Lock-free and allocation-free, so it is safe from any thread, in a signal
// handler and in a forked child; a lost race only costs one more attempt.

struct BackOffSlot {
  std::atomic<std::uint64_t> key{0};
  std::atomic<std::int64_t> until{0};  // steady-clock nanoseconds
};
constexpr std::size_t kBackOffSlots = 16;
constinit BackOffSlot gBackOff[kBackOffSlots];

std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The socket file's identity; its change time tells a server that bound
// anew from the one before it, should the inode number be reused.
std::uint64_t keyOf(const struct stat& st) {
  std::uint64_t k = static_cast<std::uint64_t>(st.st_dev);
  for (const auto part :
       {static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_ctim.tv_sec),
        static_cast<std::uint64_t>(st.st_ctim.tv_nsec)})
    k = (k ^ part) * 0x100000001B3ull;
  return k == 0 ? 1 : k;
}

bool backedOff(std::uint64_t key) {
  const std::int64_t now = nowNanos();
  for (const BackOffSlot& slot : gBackOff)
    if (slot.key.load(std::memory_order_acquire) == key && slot.until.load(std::memory_order_acquire) > now)
      return true;
  return false;
}

void backOff(std::uint64_t key, milliseconds length) {
  const std::int64_t until =
      nowNanos() + std::chrono::duration_cast<std::chrono::nanoseconds>(length).count();
  BackOffSlot* chosen = nullptr;
  for (BackOffSlot& slot : gBackOff) {
    if (slot.key.load(std::memory_order_acquire) == key) {
      chosen = &slot;
      break;
    }
    // Otherwise the slot that runs out first (an expired one, or a free one).
    if (chosen == nullptr || slot.until.load() < chosen->until.load()) chosen = &slot;
  }
  chosen->until.store(until, std::memory_order_release);
  chosen->key.store(key, std::memory_order_release);
}

// ---- one connection ---------------------------------------------------------

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  // Round up, so that a wait never ends just before its deadline.
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 1 << 30));
}

// Waits for `events` on `fd`: true when something happened, false when
// the deadline passed. No deadline: as long as it takes.
bool waitFor(int fd, short events, std::optional<Clock::time_point> deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int timeout = deadline ? remainingMs(*deadline) : -1;
    const int r = ::poll(&p, 1, timeout);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // the next read or write tells what is wrong
  }
}

Outcome connectError(int error) {
  switch (error) {
    case EAGAIN:
      return Outcome::kTimedOut;  // the backlog is full: nobody accepts
    case ECONNREFUSED:
      return Outcome::kRefused;
    case ENOENT:
    case ENOTDIR:
      return Outcome::kAbsent;
    default:
      return Outcome::kBroken;
  }
}

// A non-blocking stream socket connected to `addr`, or why not. A blocking
// connect with a send time-out waits (woken by the kernel, not polling)
// while the backlog is full; `oneWay` does not wait at all.
Outcome connectSocket(const SocketAddress& addr, Clock::time_point deadline, bool oneWay, KeptFd* out) {
  KeptFd fd =
      KeptFd::inPlace(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (oneWay ? SOCK_NONBLOCK : 0), 0));
  if (!fd.valid()) return Outcome::kBroken;
  for (;;) {
    if (!oneWay) {
      const int ms = std::max(remainingMs(deadline), 1);
      timeval tv{ms / 1000, (ms % 1000) * 1000};
      ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    if (::connect(fd.get(), addr.get(), addr.size()) == 0 || errno == EISCONN) break;
    // An interrupted local connect has not started: try again in the time left.
    if (errno == EINTR && !oneWay && remainingMs(deadline) > 0) continue;
    return errno == EINTR ? Outcome::kTimedOut : connectError(errno);
  }
  // Only a server of this user is the service: in a device root that others
  // can write, another user's socket could stand in its place.
  ucred peer{};
  socklen_t peerLength = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 || peer.uid != ::geteuid())
    return Outcome::kRefused;
  if (!oneWay) {
    const timeval none{0, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return Outcome::kBroken;
  }
  *out = std::move(fd);
  return Outcome::kDone;
}

Outcome writeWithin(const KeptFd& fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    // Another thread of the program may have closed or replaced it.
    if (!fd.intact()) return Outcome::kBroken;
    const ssize_t n = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(fd.get(), POLLOUT, deadline)) return Outcome::kTimedOut;
      continue;
    }
    return Outcome::kBroken;
  }
  return Outcome::kDone;
}

// Waits until the service has read the whole request (the socket's
// unread-by-the-peer count is zero), or hung up.
Outcome waitTaken(const KeptFd& fd, Clock::time_point deadline) {
  milliseconds step = kFirstTakenCheck;
  for (;;) {
    if (!fd.intact()) return Outcome::kBroken;
    int unread = 0;
    if (::ioctl(fd.get(), SIOCOUTQ, &unread) != 0 || unread == 0) return Outcome::kDone;
    if (Clock::now() >= deadline) return Outcome::kTimedOut;
    const Clock::time_point until = std::min(deadline, Clock::now() + step);
    step = std::min(step * 2, kLongestTakenCheck);
    // A reply already there, or a hang-up: reading tells which.
    pollfd p{fd.get(), POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, remainingMs(until)) > 0) return Outcome::kDone;
  }
}

// Without a deadline the reply may be as late as it likes to begin (a person
// answering), but once its first byte is here the rest must follow within
// `onceBegun`: a reply is written at once, and a peer that trickles it must
// not hold the caller for ever.
Outcome readReply(const KeptFd& fd, std::optional<Clock::time_point> deadline, Clock::duration onceBegun,
                  plist::Dictionary* reply) {
  FrameReader reader;
  bool sizeKnown = false;
  while (reader.state() == FrameReader::State::kNeedMore) {
    if (!fd.intact()) return Outcome::kBroken;
    // A large reply (a relay of a long global list) gets time for its size
    // on top of the limit, so a loaded machine still carries it whole.
    if (deadline && !sizeKnown && reader.bodySize()) {
      sizeKnown = true;
      *deadline += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
          static_cast<double>(*reader.bodySize()) / kSlowestReplyBytesPerSecond));
    }
    // Straight into the frame's buffer, and never past the frame, so a
    // trailing byte cannot be taken for part of it.
    const std::span<char> room = reader.space(kReadChunk);
    const ssize_t n = ::recv(fd.get(), room.data(), room.size(), MSG_DONTWAIT);
    reader.commit(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0) {
      if (!deadline) deadline = Clock::now() + onceBegun;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(fd.get(), POLLIN | POLLRDHUP, deadline)) return Outcome::kTimedOut;
      continue;
    }
    return Outcome::kBroken;  // closed mid-reply, or failed
  }
  if (reader.state() != FrameReader::State::kComplete) return Outcome::kBroken;
  std::optional<plist::Dictionary> decoded = decodeReply(reader.body());
  if (!decoded) return Outcome::kBroken;
  *reply = std::move(*decoded);
  return Outcome::kDone;
}

struct Target {
  std::uint64_t key = 0;
  std::optional<SocketAddress> addr;
};

// The service's socket, unless it is absent or (when `honourBackOff`)
// backed off.
Outcome locate(const std::string& path, bool honourBackOff, Target* target) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return Outcome::kAbsent;
  target->key = keyOf(st);
  if (honourBackOff && backedOff(target->key)) return Outcome::kBackedOff;
  target->addr = SocketAddress::forPath(path);
  return target->addr ? Outcome::kDone : Outcome::kAbsent;
}

Outcome settle(Outcome outcome, const Target& target, const ExchangeLimits& limits) {
  // An absent service costs one failed stat, no more than looking a
  // back-off up would. A time-out is avoided for the whole back-off; a
  // socket file nobody listens on (its server died) for a short while,
  // since trying it costs a socket, a failed connect and a close per call.
  // A server started anew binds a new file, which is tried at once.
  if (outcome == Outcome::kTimedOut) backOff(target.key, limits.backOff);
  if (outcome == Outcome::kRefused) backOff(target.key, std::min(limits.backOff, kRefusedBackOff));
  return outcome;
}

}  // namespace

Exchanged exchange(const std::string& path, std::string_view frame, const ExchangeLimits& limits,
                   ReplyWait wait) {
  Exchanged out;
  try {
    Target target;
    // A question is never skipped for a back-off: a live shell that was
    // slow to answer a poll while it served others is busy, not gone, and
    // a question skipped would let its connection pass unasked. A gone
    // shell costs the question no more than a failed connect.
    out.outcome = locate(path, wait != ReplyWait::kWhilePeerLives, &target);
    if (out.outcome != Outcome::kDone) return out;
    KeptFd fd;
    out.outcome = connectSocket(*target.addr, Clock::now() + limits.connect, false, &fd);
    if (out.outcome == Outcome::kDone) out.outcome = writeWithin(fd, frame, Clock::now() + limits.send);
    if (out.outcome == Outcome::kDone && wait == ReplyWait::kWhilePeerLives) {
      out.outcome = waitTaken(fd, Clock::now() + limits.reply);
      if (out.outcome == Outcome::kDone) out.outcome = readReply(fd, std::nullopt, limits.reply, &out.reply);
    } else if (out.outcome == Outcome::kDone) {
      out.outcome = readReply(fd, Clock::now() + limits.reply, limits.reply, &out.reply);
    }
    if (out.outcome != Outcome::kDone) out.reply = plist::Dictionary();
    out.outcome = settle(out.outcome, target, limits);
  } catch (...) {
    // Out of memory, most likely: a failed exchange, as for a lost service.
    out.outcome = Outcome::kBroken;
    out.reply = plist::Dictionary();
  }
  return out;
}

Outcome sendOneWay(const std::string& path, std::string_view frame) {
  try {
    Target target;
    Outcome outcome = locate(path, true, &target);
    if (outcome != Outcome::kDone) return outcome;
    KeptFd fd;
    outcome = connectSocket(*target.addr, Clock::now(), true, &fd);
    if (outcome == Outcome::kDone) {
      ssize_t n;
      do {
        n = ::send(fd.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      // A frame that does not fit at once is dropped: the service discards
      // the part that arrived when the connection closes.
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        outcome = Outcome::kTimedOut;
      } else if (n != static_cast<ssize_t>(frame.size())) {
        outcome = Outcome::kBroken;
      }
    }
    // Dropping cost nothing, so it starts no back-off: a burst that fills a
    // healthy shell's backlog for a moment must not silence it for long.
    if (outcome == Outcome::kRefused) backOff(target.key, kRefusedBackOff);
    return outcome;
  } catch (...) {
    return Outcome::kBroken;
  }
}

void clearBackOffs() {
  for (BackOffSlot& slot : gBackOff) {
    slot.key.store(0);
    slot.until.store(0);
  }
}

}  // namespace kst::messaging
