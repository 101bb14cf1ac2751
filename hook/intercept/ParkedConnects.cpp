#include "hook/intercept/ParkedConnects.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "hook/rules/ProcessState.h"
#include "platform/messaging/KeptFd.h"
#include "platform/runloop/LibraryThread.h"

// Provided by the substrate when it is loaded; absent in programs without it.
extern "C" void kst_substrate_enter(void) __attribute__((weak));
extern "C" void kst_substrate_leave(void) __attribute__((weak));

namespace kst {

namespace {

// Closes one of the library's own descriptors from a program's thread
// without the replaced close, which looks at tables this code may hold.
void closeOwn(int fd) {
  if (kst_substrate_enter != nullptr) kst_substrate_enter();
  ::close(fd);
  if (kst_substrate_leave != nullptr) kst_substrate_leave();
}

// The kernel's numbers of the two TCP states that matter here.
constexpr int kTcpSynSent = TCP_SYN_SENT;
constexpr int kTcpClose = TCP_CLOSE;

struct Parked {
  std::uint64_t id = 0;
  int programFd = -1;  // -1 once the program closed or undid the number
  dev_t dev = 0;
  ino_t ino = 0;
  int own = -1;  // the library's descriptor of the socket, if it holds one
  JudgedAddress destination;
  ParkedConnects::Judge judge;
  bool taken = false;     // its question is being asked
  bool datagram = false;  // a datagram socket, connected to the sink meanwhile
};

// A loopback socket of the library (see EndKind).
struct LoopbackEnd {
  int fd = -1;
  sockaddr_storage address{};
  socklen_t length = 0;
  bool tried = false;
};

int keptHigh(int fd) {
  if (fd < 0) return fd;
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, messaging::KeptFd::floor());
  if (high < 0) return fd;
  ::close(fd);
  return high;
}

// What a loopback end of the library is for.
enum class EndKind {
  kParkingListener,  // a stream listener whose filter drops every handshake
  kClosedPort,       // a bound stream socket that never listens: connects are refused
  kDatagramSink,     // a datagram socket whose filter drops what it is sent
};

LoopbackEnd makeLoopbackEnd(int family, EndKind kind) {
  LoopbackEnd end;
  end.tried = true;
  int fd = ::socket(family, (kind == EndKind::kDatagramSink ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) return end;
  sockaddr_storage a{};
  socklen_t length = 0;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&a);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  } else {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  }
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), length) == 0;
  if (ok && kind != EndKind::kClosedPort) {
    sock_filter dropAll{BPF_RET | BPF_K, 0, 0, 0};
    sock_fprog program{1, &dropAll};
    ok = ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
  }
  if (ok && kind == EndKind::kParkingListener) ok = ::listen(fd, 1) == 0;
  socklen_t got = sizeof a;
  ok = ok && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &got) == 0;
  if (!ok) {
    ::close(fd);
    return end;
  }
  end.fd = keptHigh(fd);
  end.address = a;
  end.length = got;
  return end;
}

// An IPv4 destination as the IPv4-mapped IPv6 address a dual-stack socket
// connects to.
JudgedAddress mappedAddress(const JudgedAddress& v4) {
  JudgedAddress out;
  const auto* in = reinterpret_cast<const sockaddr_in*>(&v4.storage);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = in->sin_port;
  in6->sin6_addr.s6_addr[10] = 0xff;
  in6->sin6_addr.s6_addr[11] = 0xff;
  std::memcpy(&in6->sin6_addr.s6_addr[12], &in->sin_addr, sizeof in->sin_addr);
  out.length = sizeof(sockaddr_in6);
  return out;
}

// The port a socket is connected to, or 0.
in_port_t peerPort(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  if (peer.ss_family == AF_INET) return reinterpret_cast<sockaddr_in*>(&peer)->sin_port;
  if (peer.ss_family == AF_INET6) return reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port;
  return 0;
}

in_port_t portOf(const LoopbackEnd& end) {
  if (end.fd < 0) return 0;
  if (end.address.ss_family == AF_INET) return reinterpret_cast<const sockaddr_in*>(&end.address)->sin_port;
  return reinterpret_cast<const sockaddr_in6*>(&end.address)->sin6_port;
}

// The IPv4 address as an IPv4-mapped IPv6 one, for a dual-stack socket.
sockaddr_in6 mapped(const LoopbackEnd& v4) {
  sockaddr_in6 out{};
  const auto* in = reinterpret_cast<const sockaddr_in*>(&v4.address);
  out.sin6_family = AF_INET6;
  out.sin6_port = in->sin_port;
  out.sin6_addr.s6_addr[10] = 0xff;
  out.sin6_addr.s6_addr[11] = 0xff;
  std::memcpy(&out.sin6_addr.s6_addr[12], &in->sin_addr, sizeof in->sin_addr);
  return out;
}

int intOption(int fd, int level, int name, int fallback) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : fallback;
}

int tcpState(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return -1;
  return info.tcpi_state;
}

bool identity(int fd, dev_t* dev, ino_t* ino) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
  return true;
}

}  // namespace

struct ParkedConnects::State {
  mutable std::mutex mu;  // the table, and every switch of a parked socket
  std::condition_variable work;
  std::list<Parked> parked;
  std::atomic<std::size_t> count{0};
  std::size_t owned = 0;  // entries with a descriptor of the library
  std::uint64_t nextId = 1;
  bool threadStarted = false;
  LoopbackEnd listener4, listener6, closed4, closed6, sink4, sink6;
  std::atomic<ConnectFn> connect{nullptr};
  std::atomic<GetsockoptFn> getsockopt{nullptr};
};

namespace {

std::atomic<ParkedConnects::State*> gState{nullptr};

// The address a socket of `family` parks on (or is refused by); false when
// there is none for it.
bool endFor(const LoopbackEnd& v4, const LoopbackEnd& v6, int family, bool dualStack, sockaddr_storage* out,
            socklen_t* length) {
  if (family == AF_INET && v4.fd >= 0) {
    *out = v4.address;
    *length = v4.length;
    return true;
  }
  if (family != AF_INET6) return false;
  if (v6.fd >= 0) {
    *out = v6.address;
    *length = v6.length;
    return true;
  }
  if (!dualStack || v4.fd < 0) return false;
  const sockaddr_in6 m = mapped(v4);
  std::memcpy(out, &m, sizeof m);
  *length = sizeof m;
  return true;
}

void ensureEnds(ParkedConnects::State& s, int family, bool datagram) {
  if (datagram) {
    if (!s.sink4.tried) s.sink4 = makeLoopbackEnd(AF_INET, EndKind::kDatagramSink);
    if (family == AF_INET6 && !s.sink6.tried) s.sink6 = makeLoopbackEnd(AF_INET6, EndKind::kDatagramSink);
    return;
  }
  if (!s.listener4.tried) s.listener4 = makeLoopbackEnd(AF_INET, EndKind::kParkingListener);
  if (!s.closed4.tried) s.closed4 = makeLoopbackEnd(AF_INET, EndKind::kClosedPort);
  if (family == AF_INET6) {
    if (!s.listener6.tried) s.listener6 = makeLoopbackEnd(AF_INET6, EndKind::kParkingListener);
    if (!s.closed6.tried) s.closed6 = makeLoopbackEnd(AF_INET6, EndKind::kClosedPort);
  }
}

// Ends one parked socket, under the state's lock: undone, then connected to
// its destination (allowed) or to the closed port. A socket the program
// shut down or undid meanwhile is no longer connecting to the parking
// listener and is left alone.
bool sameSocket(int fd, const Parked& p) {
  dev_t dev = 0;
  ino_t ino = 0;
  return fd >= 0 && identity(fd, &dev, &ino) && dev == p.dev && ino == p.ino;
}

// Drops the library's descriptor of a parked socket, if it holds one.
void release(ParkedConnects::State& s, Parked& p) {
  if (p.own < 0) return;
  ::close(p.own);
  p.own = -1;
  --s.owned;
}

void finishLocked(ParkedConnects::State& s, Parked& p, bool allowed) {
  const int fd = p.own >= 0 ? p.own : (sameSocket(p.programFd, p) ? p.programFd : -1);
  const ConnectFn realConnect = s.connect.load(std::memory_order_acquire);
  if (p.datagram) {
    // Allowed: connected to its destination from now on. Otherwise it stays
    // on the sink and what it sends goes nowhere, as a refused datagram. A
    // socket no longer on the sink was connected elsewhere meanwhile.
    const in_port_t port = fd >= 0 ? peerPort(fd) : 0;
    const bool onSink = port != 0 && (port == portOf(s.sink4) || port == portOf(s.sink6));
    if (onSink && realConnect != nullptr && allowed)
      realConnect(fd, p.destination.get(), p.destination.length);
    release(s, p);
    return;
  }
  if (fd >= 0 && realConnect != nullptr && tcpState(fd) == kTcpSynSent) {
    // The program may have made it blocking meanwhile; these connects must
    // not wait.
    const int flags = ::fcntl(fd, F_GETFL);
    const bool restore = flags >= 0 && (flags & O_NONBLOCK) == 0;
    if (restore) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    sockaddr undo{};
    undo.sa_family = AF_UNSPEC;
    realConnect(fd, &undo, sizeof undo);
    // The undo leaves "connection reset" pending; it is not the program's.
    int pending = 0;
    socklen_t length = sizeof pending;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
    bool started = false;
    if (allowed) {
      started = realConnect(fd, p.destination.get(), p.destination.length) == 0 || errno == EINPROGRESS;
    }
    if (!started) {
      sockaddr_storage closed{};
      socklen_t closedLength = 0;
      const int family = p.destination.family();
      if (endFor(s.closed4, s.closed6, family, intOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) == 0, &closed,
                 &closedLength))
        realConnect(fd, reinterpret_cast<sockaddr*>(&closed), closedLength);
    }
    if (restore) ::fcntl(fd, F_SETFL, flags);
  }
  release(s, p);
}

void askingThread(ParkedConnects::State* s) {
  ::pthread_setname_np(::pthread_self(), "kst-parked");
  // Everything this thread does is the library's own traffic.
  if (kst_substrate_enter != nullptr) kst_substrate_enter();
  for (;;) {
    ParkedConnects::Judge judge;
    std::uint64_t id = 0;
    {
      std::unique_lock<std::mutex> lock(s->mu);
      s->work.wait(lock, [&] {
        return std::any_of(s->parked.begin(), s->parked.end(), [](const Parked& p) { return !p.taken; });
      });
      for (Parked& p : s->parked) {
        if (p.taken) continue;
        p.taken = true;
        id = p.id;
        judge = std::move(p.judge);
        break;
      }
    }
    bool allowed = false;
    try {
      allowed = judge && judge();
    } catch (...) {
      allowed = false;  // nothing goes out unjudged
    }
    std::lock_guard<std::mutex> lock(s->mu);
    for (auto it = s->parked.begin(); it != s->parked.end(); ++it) {
      if (it->id != id) continue;
      finishLocked(*s, *it, allowed);
      s->parked.erase(it);
      s->count.fetch_sub(1, std::memory_order_release);
      break;
    }
  }
}

// The child of fork has no asking thread, and a lock a vanished thread held
// would never be released there: it starts afresh, keeping the loopback
// ends (shared with the parent). The parent answers the parked sockets,
// which the child shares; the child's copies of the library's descriptors
// of them are closed when the old table can be read safely.
void forgetInChild() {
  ParkedConnects::State* old = gState.load(std::memory_order_acquire);
  if (old == nullptr) return;
  auto* fresh = new ParkedConnects::State();
  fresh->connect.store(old->connect.load());
  fresh->getsockopt.store(old->getsockopt.load());
  const bool readable = old->mu.try_lock();
  if (readable) {
    fresh->listener4 = old->listener4;
    fresh->listener6 = old->listener6;
    fresh->closed4 = old->closed4;
    fresh->closed6 = old->closed6;
    fresh->sink4 = old->sink4;
    fresh->sink6 = old->sink6;
  }
  // The old one is left: a thread may have been inside it.
  gState.store(fresh, std::memory_order_release);
  if (!readable) return;
  for (Parked& p : old->parked) {
    if (p.own >= 0) closeOwn(p.own);
  }
  old->mu.unlock();
}

}  // namespace

ParkedConnects& ParkedConnects::process() {
  static ParkedConnects* const instance = new ParkedConnects();
  return *instance;
}

ParkedConnects::State& ParkedConnects::state() const {
  return processState<State, forgetInChild>(gState);
}

std::size_t ParkedConnects::maxOwned() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxOwned;
  return std::min<std::size_t>(kMaxOwned, static_cast<std::size_t>(limit.rlim_cur / 4));
}

void ParkedConnects::setReal(ConnectFn connect, GetsockoptFn getsockopt) {
  State& s = state();
  s.connect.store(connect, std::memory_order_release);
  s.getsockopt.store(getsockopt, std::memory_order_release);
}

bool ParkedConnects::anyParked() {
  const State* s = gState.load(std::memory_order_acquire);
  return s != nullptr && s->count.load(std::memory_order_acquire) != 0;
}

std::size_t ParkedConnects::parkedCount() const {
  const State* s = gState.load(std::memory_order_acquire);
  return s == nullptr ? 0 : s->count.load(std::memory_order_acquire);
}

bool ParkedConnects::park(int fd, const JudgedAddress& judged, Judge judge) {
  State& s = state();
  const ConnectFn realConnect = s.connect.load(std::memory_order_acquire);
  if (realConnect == nullptr || s.count.load(std::memory_order_acquire) >= kMaxParked) return false;
  const int family = intOption(fd, SOL_SOCKET, SO_DOMAIN, -1);
  // An IPv6 socket connecting to an IPv4-mapped address was judged by the
  // IPv4 form; it connects by the mapped one.
  const JudgedAddress destination =
      family == AF_INET6 && judged.family() == AF_INET ? mappedAddress(judged) : judged;
  if (family != destination.family() || (family != AF_INET && family != AF_INET6)) return false;
  const int type = intOption(fd, SOL_SOCKET, SO_TYPE, -1);
  const bool datagram = type == SOCK_DGRAM;
  if (!datagram && (type != SOCK_STREAM || tcpState(fd) != kTcpClose)) return false;
  Parked p;
  p.datagram = datagram;
  if (!identity(fd, &p.dev, &p.ino)) return false;

  std::lock_guard<std::mutex> lock(s.mu);
  ensureEnds(s, family, datagram);
  sockaddr_storage parking{};
  socklen_t parkingLength = 0;
  const bool dualStack = family == AF_INET6 && intOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) == 0;
  if (!endFor(datagram ? s.sink4 : s.listener4, datagram ? s.sink6 : s.listener6, family, dualStack, &parking,
              &parkingLength))
    return false;
  if (!s.threadStarted) {
    AllSignalsBlocked blocked;  // the thread inherits a mask that blocks them all
    try {
      std::thread(askingThread, &s).detach();
    } catch (...) {
      return false;
    }
    s.threadStarted = true;
  }
  if (s.owned < maxOwned()) {
    p.own = ::fcntl(fd, F_DUPFD_CLOEXEC, messaging::KeptFd::floor());
    if (p.own < 0) p.own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  }
  if (datagram) {
    // A datagram socket's connect sends nothing and completes at once; to
    // the sink meanwhile, so that nothing it sends leaves.
    if (realConnect(fd, reinterpret_cast<sockaddr*>(&parking), parkingLength) != 0) {
      if (p.own >= 0) ::close(p.own);
      return false;
    }
  } else if (realConnect(fd, reinterpret_cast<sockaddr*>(&parking), parkingLength) == 0 ||
             errno != EINPROGRESS) {
    // (A stream's handshake to the listener is dropped: it stays connecting.)
    // Not parked (a device binding, say). It may have connected to the
    // listener's address: undo that, so the program's connect is its own.
    if (tcpState(fd) != kTcpClose) {
      sockaddr undo{};
      undo.sa_family = AF_UNSPEC;
      realConnect(fd, &undo, sizeof undo);
    }
    if (p.own >= 0) ::close(p.own);
    return false;
  }
  if (p.own >= 0) ++s.owned;
  p.id = s.nextId++;
  p.programFd = fd;
  p.destination = destination;
  p.judge = std::move(judge);
  s.parked.push_back(std::move(p));
  s.count.fetch_add(1, std::memory_order_release);
  s.work.notify_one();
  return true;
}

bool ParkedConnects::isParked(int fd) const {
  if (!anyParked() || fd < 0) return false;
  State& s = state();
  dev_t dev = 0;
  ino_t ino = 0;
  if (!identity(fd, &dev, &ino)) return false;
  std::lock_guard<std::mutex> lock(s.mu);
  return std::any_of(s.parked.begin(), s.parked.end(),
                     [&](const Parked& p) { return p.programFd == fd && p.dev == dev && p.ino == ino; });
}

void ParkedConnects::programUndoes(int fd) {
  if (!anyParked() || fd < 0) return;
  State& s = state();
  dev_t dev = 0;
  ino_t ino = 0;
  if (!identity(fd, &dev, &ino)) return;
  std::lock_guard<std::mutex> lock(s.mu);
  for (auto it = s.parked.begin(); it != s.parked.end(); ++it) {
    if (it->programFd != fd || it->dev != dev || it->ino != ino) continue;
    // Its own undo follows and takes the socket back; the question, if it is
    // being asked, finds nothing to end.
    release(s, *it);
    s.parked.erase(it);
    s.count.fetch_sub(1, std::memory_order_release);
    return;
  }
}

void ParkedConnects::programCloses(int first, int last) {
  if (!anyParked() || last < 0 || last < first) return;
  first = std::max(first, 0);  // -1 marks a number already given up
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  for (auto it = s.parked.begin(); it != s.parked.end();) {
    if (it->programFd < first || it->programFd > last) {
      ++it;
      continue;
    }
    if (it->own >= 0) {
      // The library's descriptor keeps the socket for its answer.
      it->programFd = -1;
      ++it;
      continue;
    }
    // Reached only through this number: nothing to answer any more.
    it = s.parked.erase(it);
    s.count.fetch_sub(1, std::memory_order_release);
  }
}

int ParkedConnects::readError(const std::function<int()>& read) const {
  if (!anyParked()) return read();
  std::lock_guard<std::mutex> lock(state().mu);
  return read();
}

}  // namespace kst
