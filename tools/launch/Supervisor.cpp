#include "tools/launch/Supervisor.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tools/launch/DnsForwarder.h"
#include "tools/launch/TargetCall.h"

namespace kst::launch {

namespace {

// Newer kernels' interface, absent from older headers: the listener flag
// that hands the target's CPU to the supervisor and back (6.6), and thread
// pidfds (6.9).
constexpr unsigned long kSetFlagsRequest = SECCOMP_IOW(4, __u64);
constexpr std::uint64_t kSyncWakeUp = 1;
constexpr unsigned kPidfdThread = O_EXCL;

// The pool: a thread joins whenever none is left waiting, up to this many;
// a thread that finds this many others waiting ends.
constexpr std::size_t kMaxThreads = 512;
constexpr int kDnsPort = 53;
constexpr std::size_t kMaxIdle = 4;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool treeEnded(int listener) {
  pollfd p{listener, 0, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool idValid(int listener, std::uint64_t id) {
  return ::ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
}

// The target thread's memory, read while its call is still waiting: every
// read is followed by a check that the notification is alive, so a pid that
// was reused never lends its memory.
class ProcessMemory : public TargetMemory {
 public:
  ProcessMemory(pid_t tid, int listener, std::uint64_t id) : tid_(tid), listener_(listener), id_(id) {}
  bool read(std::uint64_t address, void* out, std::size_t length) override {
    if (length == 0) return true;
    iovec local{out, length};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), length};
    const ssize_t n = ::process_vm_readv(tid_, &local, 1, &remote, 1, 0);
    return n == static_cast<ssize_t>(length) && idValid(listener_, id_);
  }
  bool write(std::uint64_t address, const void* in, std::size_t length) {
    iovec local{const_cast<void*>(in), length};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), length};
    return ::process_vm_writev(tid_, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(length);
  }

 private:
  pid_t tid_;
  int listener_;
  std::uint64_t id_;
};

pid_t threadGroupOf(pid_t tid) {
  std::ifstream status("/proc/" + std::to_string(tid) + "/status");
  std::string line;
  constexpr std::string_view kTgid = "Tgid:";
  while (std::getline(status, line)) {
    if (line.compare(0, kTgid.size(), kTgid) == 0) {
      try {
        return static_cast<pid_t>(std::stoi(line.substr(kTgid.size())));
      } catch (const std::exception&) {
        return -1;
      }
    }
  }
  return -1;
}

// A pidfd of the target thread's process (its own, where the kernel has
// thread pidfds).
int openPidfd(pid_t tid) {
  long fd = ::syscall(SYS_pidfd_open, tid, 0);
  if (fd < 0 && errno != ESRCH) fd = ::syscall(SYS_pidfd_open, tid, kPidfdThread);
  if (fd < 0 && errno != ESRCH) {
    const pid_t tgid = threadGroupOf(tid);
    if (tgid > 0) fd = ::syscall(SYS_pidfd_open, tgid, 0);
  }
  return static_cast<int>(fd);
}

}  // namespace

// The pidfds of the threads that made calls, kept so that a thread's next
// call needs neither pidfd_open nor a second check that the call is still
// there: a kept pidfd names the very thread it was opened for (once that
// thread is gone it fails), and no two live threads share a number. Shared
// pointers, so one thread's use outlives another's eviction.
class PidfdCache {
 public:
  std::shared_ptr<const Fd> find(pid_t tid) {
    std::lock_guard lock(mu_);
    auto it = kept_.find(tid);
    return it == kept_.end() ? nullptr : it->second;
  }
  void keep(pid_t tid, std::shared_ptr<const Fd> fd) {
    std::lock_guard lock(mu_);
    if (kept_.size() >= kMaxKept && kept_.find(tid) == kept_.end()) kept_.erase(kept_.begin());
    kept_[tid] = std::move(fd);
  }
  void forget(pid_t tid, const Fd* fd) {
    std::lock_guard lock(mu_);
    auto it = kept_.find(tid);
    if (it != kept_.end() && it->second.get() == fd) kept_.erase(it);
  }

 private:
  // Well under the supervisor's descriptor limit.
  static constexpr std::size_t kMaxKept = 256;
  std::mutex mu_;
  std::unordered_map<pid_t, std::shared_ptr<const Fd>> kept_;
};

namespace {

bool isInternet(int domain) {
  return domain == AF_INET || domain == AF_INET6;
}

int socketOption(int fd, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

// The target's socket in the supervisor, or how the call ends without it.
struct TargetSocket {
  enum class Then { kPerform, kContinue, kFail } then = Then::kFail;
  int error = 0;
  int domain = -1;
  int type = -1;
};

class Reply {
 public:
  Reply(int listener, std::uint64_t id) : listener_(listener), id_(id) {}
  void result(long value) { send(value, 0, 0); }
  void fail(int error) { send(0, -error, 0); }
  void continueInKernel() { send(0, 0, SECCOMP_USER_NOTIF_FLAG_CONTINUE); }
  // The answer of a call the supervisor made: its result or its errno.
  void of(long rc, int err) { rc < 0 ? fail(err) : result(rc); }

 private:
  void send(long value, int error, std::uint32_t flags) {
    seccomp_notif_resp r{};
    r.id = id_;
    r.val = value;
    r.error = error;
    r.flags = flags;
    // ENOENT: the target is gone or its call was interrupted; nothing waits.
    ::ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &r);
  }
  int listener_;
  std::uint64_t id_;
};

// One notification's context.
struct Call {
  const seccomp_notif& n;
  int listener;
  CallJudge& judge;
  const CallToken& token;
  DnsForwarder* forwarder;
  PidfdCache& pidfds;
  Supervisor::Counts& counts;
  ProcessMemory memory;
  Reply reply;

  std::uint64_t arg(int i) const { return n.data.args[i]; }
  bool alive() const { return idValid(listener, n.id); }

  // Takes the socket named by the call's first argument.
  bool take(Fd& out, TargetSocket& s) {
    const pid_t tid = static_cast<pid_t>(n.pid);
    const int targetFd = static_cast<int>(arg(0));
    long fd = -1;
    int error = 0;
    bool taken = false;
    if (std::shared_ptr<const Fd> kept = pidfds.find(tid)) {
      fd = ::syscall(SYS_pidfd_getfd, kept->get(), targetFd, 0);
      error = errno;
      taken = fd >= 0 || error == EBADF;
      // Anything else (the thread it named is gone): opened anew below.
      if (!taken) pidfds.forget(tid, kept.get());
    }
    if (!taken) {
      auto pidfd = std::make_shared<Fd>(openPidfd(tid));
      if (pidfd->get() < 0 || !alive()) {
        reply.fail(ESRCH);  // nobody is left to read it
        return false;
      }
      fd = ::syscall(SYS_pidfd_getfd, pidfd->get(), targetFd, 0);
      error = errno;
      pidfds.keep(tid, std::move(pidfd));
    }
    if (fd < 0) {
      // EBADF is the call's own answer; anything else (not allowed to
      // take it) refuses the call rather than let it go unjudged.
      reply.fail(error == EBADF ? EBADF : EPERM);
      ++counts.refused;
      return false;
    }
    out.reset(static_cast<int>(fd));
    s.domain = socketOption(out.get(), SO_DOMAIN);
    s.type = socketOption(out.get(), SO_TYPE);
    if (!isInternet(s.domain)) {
      // Not a socket (the kernel says ENOTSOCK), or one of a family never
      // judged: the kernel makes the call as it is.
      reply.continueInKernel();
      ++counts.continued;
      return false;
    }
    return true;
  }

  void passOn() {
    reply.continueInKernel();
    ++counts.continued;
  }
  void refuse(int error) {
    reply.fail(error);
    ++counts.refused;
  }
  void performed(long rc, int err) {
    reply.of(rc, err);
    ++counts.performed;
  }

  // A send of a stream socket goes to its peer, whatever address it names,
  // unless it is a Fast Open send, which connects.
  static bool addressIgnored(int type, std::uint64_t flags) {
    return type == SOCK_STREAM && (flags & MSG_FASTOPEN) == 0;
  }

  bool allowed(int type, const sockaddr_storage& address, socklen_t length,
               const std::vector<char>& payload) {
    const std::optional<JudgedAddress> judged =
        judgedAddress(reinterpret_cast<const sockaddr*>(&address), length);
    if (!judged) return true;  // no destination of a judged family: the kernel decides
    if (type == SOCK_STREAM) return judge.connectAllowed(*judged);
    return judge.datagramAllowed(*judged, payload.data(), payload.size());
  }

  // EPIPE from a send made here: the signal the program would have had.
  void pipeSignal(long rc, int err, std::uint64_t flags) const {
    if (rc < 0 && err == EPIPE && (flags & MSG_NOSIGNAL) == 0 && alive())
      ::syscall(SYS_tkill, static_cast<pid_t>(n.pid), SIGPIPE);
  }

  void connect() {
    Fd socket;
    TargetSocket s;
    if (!take(socket, s)) return;
    const CopiedAddress copy = copyAddress(memory, arg(1), arg(2));
    if (copy.error != 0) return refuse(copy.error);
    const std::optional<JudgedAddress> judged =
        judgedAddress(reinterpret_cast<const sockaddr*>(&copy.storage), copy.length);
    if (judged && !judge.connectAllowed(*judged)) return refuse(EPERM);
    // Interrupted or killed while it was judged: not made late.
    if (!alive()) return;
    if (judged && judged->port() == kDnsPort && connectToForwarder(socket.get(), s, copy)) return;
    const long rc = ::syscall(SYS_connect, socket.get(), &copy.storage, static_cast<long>(copy.length),
                              token.first, token.second);
    performed(rc, errno);
  }

  // A DNS server's socket goes to the forwarder, which relays to the server
  // and reads the answers; false when the forwarder has no end for it.
  bool connectToForwarder(int socket, const TargetSocket& s, const CopiedAddress& server) {
    if (forwarder == nullptr || !forwarder->reaches(static_cast<pid_t>(n.pid))) return false;
    const auto* to = reinterpret_cast<const sockaddr*>(&server.storage);
    socklen_t endLength = 0;
    const std::optional<sockaddr_storage> end =
        forwarder->endFor(s.domain, s.type, to, server.length, endLength);
    if (!end) return false;
    const long rc =
        ::syscall(SYS_connect, socket, &*end, static_cast<long>(endLength), token.first, token.second);
    const int err = errno;
    if (rc != 0 && err != EINPROGRESS) return false;  // the server itself, then
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) == 0)
      forwarder->expect(s.type, reinterpret_cast<const sockaddr*>(&local), localLength, to, server.length);
    performed(rc, err);
    return true;
  }

  void sendto() {
    Fd socket;
    TargetSocket s;
    if (!take(socket, s)) return;
    const std::uint64_t flags = arg(3);
    if (addressIgnored(s.type, flags)) return passOn();
    const CopiedAddress copy = copyAddress(memory, arg(4), arg(5));
    if (copy.error != 0) return refuse(copy.error);
    // An address of no length reads nothing; the kernel refuses it itself.
    if (copy.length == 0) return passOn();
    if (arg(2) > kMaxPayload) return refuse(EMSGSIZE);
    std::vector<char> payload(static_cast<std::size_t>(arg(2)));
    if (!memory.read(arg(1), payload.data(), payload.size())) return refuse(EFAULT);
    if (!allowed(s.type, copy.storage, copy.length, payload)) return refuse(EPERM);
    if (!alive()) return;
    CopiedMessage m;
    m.hasName = true;
    m.name = copy.storage;
    m.nameLength = copy.length;
    m.payload = std::move(payload);
    const long rc = sendCopy(socket.get(), m, flags);
    const int err = errno;
    pipeSignal(rc, err, flags);
    performed(rc, err);
  }

  // Sends one copied message on the target's socket (sendmsg: the form
  // with room for the token).
  long sendCopy(int fd, CopiedMessage& m, std::uint64_t flags) const {
    iovec data{m.payload.data(), m.payload.size()};
    msghdr h{};
    h.msg_name = m.hasName ? &m.name : nullptr;
    h.msg_namelen = m.hasName ? m.nameLength : 0;
    h.msg_iov = &data;
    h.msg_iovlen = 1;
    h.msg_control = m.control.empty() ? nullptr : m.control.data();
    h.msg_controllen = m.control.size();
    const long sendFlags = static_cast<long>(static_cast<int>(flags) | MSG_NOSIGNAL);
    return ::syscall(SYS_sendmsg, fd, &h, sendFlags, token.first, token.second);
  }

  void sendmsg() {
    Fd socket;
    TargetSocket s;
    if (!take(socket, s)) return;
    const std::uint64_t flags = arg(2);
    const CopiedMessage header = copyMessage(memory, arg(1), false);
    if (header.error != 0) return refuse(header.error);
    if (!header.hasName || addressIgnored(s.type, flags)) return passOn();
    CopiedMessage m = copyMessage(memory, arg(1), true);
    if (m.error != 0) return refuse(m.error);
    if (!allowed(s.type, m.name, m.nameLength, m.payload)) return refuse(EPERM);
    if (!alive()) return;
    const long rc = sendCopy(socket.get(), m, flags);
    const int err = errno;
    pipeSignal(rc, err, flags);
    performed(rc, err);
  }

  // Each message judged in turn; the ones before the first refused or
  // failed one go, and their count is the answer, as the kernel's own
  // sendmmsg answers.
  void sendmmsg() {
    Fd socket;
    TargetSocket s;
    if (!take(socket, s)) return;
    const std::uint64_t vector = arg(1);
    const std::uint64_t count = arg(2) & 0xffffffffU;  // an unsigned int
    const std::uint64_t flags = arg(3);
    if (count == 0) return passOn();
    const std::vector<mmsghdr> headers = copyMessageVector(memory, vector, count);
    if (headers.empty()) return refuse(EFAULT);
    bool anyName = false;
    for (const mmsghdr& h : headers)
      anyName = anyName || (h.msg_hdr.msg_name != nullptr && h.msg_hdr.msg_namelen != 0);
    if (!anyName || addressIgnored(s.type, flags)) return passOn();
    long sent = 0;
    int error = 0;
    const std::size_t readable = headers.size();
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxMessages));
    for (std::size_t i = 0; i < wanted; ++i) {
      if (i >= readable) {
        error = EFAULT;
        break;
      }
      CopiedMessage m = copyMessage(memory, vector + i * sizeof(mmsghdr), true);
      if (m.error != 0) {
        error = m.error;
        break;
      }
      if (m.hasName && !allowed(s.type, m.name, m.nameLength, m.payload)) {
        error = EPERM;
        break;
      }
      if (!alive()) return;
      const long rc = sendCopy(socket.get(), m, flags);
      if (rc < 0) {
        error = errno;
        pipeSignal(rc, error, flags);
        break;
      }
      const unsigned int length = static_cast<unsigned int>(rc);
      memory.write(messageLengthAddress(vector, i), &length, sizeof length);
      ++sent;
    }
    if (sent > 0) return performed(sent, 0);
    if (error == EPERM) return refuse(EPERM);
    performed(-1, error);
  }
};

}  // namespace

Supervisor::Supervisor(int listener, CallJudge& judge, const CallToken& token)
    : listener_(listener), judge_(judge), token_(token), pidfds_(std::make_unique<PidfdCache>()) {}

Supervisor::~Supervisor() = default;

void Supervisor::start() {
  // Where the kernel has it: the target's thread is handed over and back
  // on the same CPU, without a scheduler round trip.
  std::uint64_t flags = kSyncWakeUp;
  ::ioctl(listener_, kSetFlagsRequest, flags);
  seccomp_notif_sizes sizes{};
  if (::syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) == 0 && sizes.seccomp_notif > notifSize_)
    notifSize_ = sizes.seccomp_notif;
  std::lock_guard lock(poolMu_);
  addReceiver();
}

void Supervisor::addReceiver() {
  ++threads_;
  ++idle_;
  try {
    std::thread([this] { receiverLoop(); }).detach();
  } catch (const std::system_error&) {
    --threads_;
    --idle_;
  }
}

void Supervisor::receiverLoop() {
  std::vector<unsigned char> buffer(notifSize_);
  for (;;) {
    std::memset(buffer.data(), 0, buffer.size());
    if (::ioctl(listener_, SECCOMP_IOCTL_NOTIF_RECV, buffer.data()) != 0) {
      // ENOENT: the target went away before its call was read, or (at once,
      // again and again) no process is left under the filter.
      if (errno == EINTR || (errno == ENOENT && !treeEnded(listener_))) continue;
      std::lock_guard lock(poolMu_);
      --idle_;
      --threads_;
      return;
    }
    {
      std::lock_guard lock(poolMu_);
      --idle_;
      if (idle_ == 0 && threads_ < kMaxThreads) addReceiver();
    }
    seccomp_notif n{};
    std::memcpy(&n, buffer.data(), sizeof n);
    serve(n);
    std::lock_guard lock(poolMu_);
    if (idle_ >= kMaxIdle) {
      --threads_;
      return;
    }
    ++idle_;
  }
}

void Supervisor::serve(const seccomp_notif& n) {
  Call call{n,
            listener_,
            judge_,
            token_,
            forwarder_,
            *pidfds_,
            counts_,
            ProcessMemory(static_cast<pid_t>(n.pid), listener_, n.id),
            Reply(listener_, n.id)};
  try {
    if (n.data.arch != AUDIT_ARCH_X86_64) return call.refuse(EPERM);
    switch (n.data.nr) {
      case SYS_connect:
        return call.connect();
      case SYS_sendto:
        return call.sendto();
      case SYS_sendmsg:
        return call.sendmsg();
      case SYS_sendmmsg:
        return call.sendmmsg();
      default:
        return call.refuse(ENOSYS);
    }
  } catch (const std::bad_alloc&) {
    call.refuse(ENOMEM);
  }
}

void Supervisor::waitForTreeEnd() const {
  for (;;) {
    pollfd p{listener_, 0, 0};
    const int rc = ::poll(&p, 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
  }
}

}  // namespace kst::launch
