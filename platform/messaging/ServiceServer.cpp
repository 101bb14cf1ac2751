#include "platform/messaging/ServiceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kst::messaging {

namespace {

// How much one readable event may read before other sources get their turn.
constexpr std::size_t kReadBudget = 1024 * 1024;
constexpr std::size_t kReadChunk = 256 * 1024;
// A reply larger than the socket's buffer is pushed by the retry timer; the
// buffer is widened up to this (the system may allow less) so that a large
// reply takes few rounds.
constexpr int kLargeReplyBuffer = 4 * 1024 * 1024;
// How often a reply that did not fit into the socket is pushed again.
constexpr Seconds kRetryInterval{0.005};
constexpr Seconds kSweepInterval{1.0};
// How long accepting rests when the process is out of descriptors.
constexpr Seconds kAcceptPause{0.1};

bool plainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The peer's process when it runs as our user; nothing otherwise.
std::optional<pid_t> samePeerUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred)) return std::nullopt;
  if (cred.uid != ::geteuid()) return std::nullopt;
  return cred.pid;
}

// The peer closed its end (not only its sending side).
bool hungUp(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  int r = 0;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Serialises binding among processes: two servers finding the same stale
// socket must not both replace it.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!fd_.valid()) return;
    int r = 0;
    do {
      r = ::flock(fd_.get(), LOCK_EX);
    } while (r != 0 && errno == EINTR);
    locked_ = r == 0;
  }
  bool locked() const { return locked_; }

 private:
  UniqueFd fd_;  // closing it releases the lock
  bool locked_ = false;
};

}  // namespace

ServiceServer::ServiceServer(RunLoop& loop, Dispatch dispatch)
    : loop_(loop), dispatch_(std::move(dispatch)) {}

std::shared_ptr<ServiceServer> ServiceServer::start(const DeviceRoot& root, const std::string& serviceName,
                                                    RunLoop& loop, Dispatch dispatch) {
  if (!plainFileName(serviceName) || !ensureRunFolder(root)) return nullptr;
  std::shared_ptr<ServiceServer> server(new ServiceServer(loop, std::move(dispatch)));
  if (!server->bind(runFolder(root) + "/" + serviceName)) return nullptr;
  server->listenAgain();
  return server;
}

bool ServiceServer::bind(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  FolderLock lock(folder);
  if (!lock.locked()) return false;
  auto addr = SocketAddress::forPath(path);
  if (!addr) return false;
  listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listen_.valid()) return false;
  if (::bind(listen_.get(), addr->get(), addr->size()) != 0) {
    if (errno != EADDRINUSE) return false;
    // Someone answers there: a live server owns the name.
    if (connectStream(path).valid()) return false;
    // Nobody does: the socket of a dead server. Only a socket is replaced.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    if (::unlink(path.c_str()) != 0) return false;
    if (::bind(listen_.get(), addr->get(), addr->size()) != 0) return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || ::listen(listen_.get(), SOMAXCONN) != 0) {
    ::unlink(path.c_str());
    return false;
  }
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

ServiceServer::~ServiceServer() {
  if (listenSource_) loop_.removeFdSource(*listenSource_);
  if (sweepTimer_) loop_.cancelTimer(*sweepTimer_);
  if (retryTimer_) loop_.cancelTimer(*retryTimer_);
  for (auto& [id, c] : connections_)
    if (c.source) loop_.removeFdSource(*c.source);
  // Remove the socket only while it is still ours, not a successor's.
  struct stat st {};
  if (!path_.empty() && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
    ::unlink(path_.c_str());
}

void ServiceServer::onListenReadable() {
  for (;;) {
    if (connections_.size() >= kMaxConnections) {
      // Further clients wait in the backlog (their connect blocks) until a
      // connection closes, rather than being hung up on.
      stopListening();
      atCapacity_ = true;
      break;
    }
    UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pauseAccepting();
      break;
    }
    const std::optional<pid_t> peer = samePeerUser(fd.get());
    if (!peer) continue;
    const std::uint64_t id = nextId_++;
    Connection& c = connections_[id];
    c.fd = std::move(fd);
    c.asker = *peer;
    c.lastProgress = loop_.clock().now();
    std::weak_ptr<ServiceServer> weak = weak_from_this();
    c.source = loop_.addFdSource(c.fd.get(), [weak, id] {
      if (auto self = weak.lock()) self->onConnectionReadable(id);
    });
  }
  updateTimers();
}

void ServiceServer::stopListening() {
  if (!listenSource_) return;
  loop_.removeFdSource(*listenSource_);
  listenSource_.reset();
}

void ServiceServer::pauseAccepting() {
  // The pending connection keeps the socket readable: listening on would
  // spin the loop until descriptors are free again.
  if (!listenSource_) return;
  stopListening();
  std::weak_ptr<ServiceServer> weak = weak_from_this();
  loop_.addTimer(kAcceptPause, [weak] {
    if (auto self = weak.lock()) self->listenAgain();
  });
}

void ServiceServer::listenAgain() {
  if (listenSource_) return;
  std::weak_ptr<ServiceServer> weak = weak_from_this();
  listenSource_ = loop_.addFdSource(listen_.get(), [weak] {
    if (auto self = weak.lock()) self->onListenReadable();
  });
}

void ServiceServer::onConnectionReadable(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || !it->second.source) return;
  Connection& c = it->second;
  std::size_t budget = kReadBudget;
  while (budget > 0 && c.reader.state() == FrameReader::State::kNeedMore) {
    // Never read past the frame: one connection carries one request. Bytes
    // land in the frame's own buffer.
    const std::span<char> room = c.reader.space(std::min(kReadChunk, budget));
    const ssize_t n = ::recv(c.fd.get(), room.data(), room.size(), 0);
    if (n < 0 && errno == EINTR) {
      c.reader.commit(0);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c.reader.commit(0);
      return;
    }
    if (n <= 0) {  // hung up before a whole request, or failed
      close(id);
      return;
    }
    budget -= static_cast<std::size_t>(n);
    c.lastProgress = loop_.clock().now();
    if (c.reader.commit(static_cast<std::size_t>(n)) == FrameReader::State::kBad) {
      ::syslog(LOG_WARNING, "Kestrix: refused a message of %s above the %u-byte frame limit", path_.c_str(),
               maxFrameBody());
    }
  }
  if (c.reader.state() == FrameReader::State::kNeedMore) return;  // more on the next event
  std::optional<Request> request;
  if (c.reader.state() == FrameReader::State::kComplete) request = decodeRequest(c.reader.body());
  if (!request) {
    close(id);
    return;
  }
  loop_.removeFdSource(*c.source);
  c.source.reset();
  c.dispatching = true;
  c.reader = FrameReader();  // the body is not needed any more
  answer(id, *request);
}

void ServiceServer::answer(std::uint64_t id, const Request& request) {
  pid_t asker = 0;
  if (auto found = connections_.find(id); found != connections_.end()) asker = found->second.asker;
  Call call(weak_from_this(), id, asker, request.wantsReply);
  // May run the loop: `connections_` can change meanwhile.
  std::optional<plist::Dictionary> reply = dispatch_(request, call);
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  if (!request.wantsReply) {
    close(id);
    return;
  }
  if (call.later_) {
    // Already answered (the reply is on its way), or to be answered later.
    if (it->second.reply.empty()) watchAsker(id);
    return;
  }
  auto bytes = encodeReply(reply.value_or(plist::Dictionary()));
  if (!bytes) {
    // Never an empty reply in its place: the sender would take it for the
    // answer. Hanging up tells it that nothing came.
    ::syslog(LOG_WARNING, "Kestrix: the reply to \"%s\" of %s is above the %u-byte frame limit; not sent",
             request.name.c_str(), path_.c_str(), maxFrameBody());
    close(id);
    return;
  }
  Connection& c = it->second;
  c.dispatching = false;
  c.reply = std::move(*bytes);
  if (c.reply.size() > kReadChunk) {
    const int size = static_cast<int>(std::min<std::size_t>(c.reply.size(), kLargeReplyBuffer));
    ::setsockopt(c.fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  c.lastProgress = loop_.clock().now();
  flush(id);
}

void ServiceServer::flush(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  while (c.sent < c.reply.size()) {
    const ssize_t n =
        ::send(c.fd.get(), c.reply.data() + c.sent, c.reply.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      updateTimers();  // the retry timer pushes the rest
      return;
    }
    if (n < 0) break;  // the client is gone
    c.sent += static_cast<std::size_t>(n);
    c.lastProgress = loop_.clock().now();
  }
  close(id);
}

void ServiceServer::retryWrites() {
  std::vector<std::uint64_t> pending;
  for (const auto& [id, c] : connections_)
    if (!c.reply.empty()) pending.push_back(id);
  for (std::uint64_t id : pending) flush(id);
}

void ServiceServer::sweep() {
  const Clock::TimePoint now = loop_.clock().now();
  std::vector<std::uint64_t> stale;
  std::vector<std::uint64_t> left;
  for (const auto& [id, c] : connections_) {
    if (!c.dispatching && now - c.lastProgress >= kIdleTimeout) stale.push_back(id);
    // A half-closed asker raises no event when it goes: it is looked at here.
    if (c.later && c.halfClosed && c.reply.empty() && hungUp(c.fd.get())) left.push_back(id);
  }
  for (std::uint64_t id : stale) close(id);
  for (std::uint64_t id : left) askerLeft(id);
}

// ---- replies given later ----------------------------------------------------

std::shared_ptr<PendingReply> ServiceServer::Call::replyLater() {
  if (!wantsReply_) return nullptr;
  later_ = true;
  if (auto server = server_.lock()) {
    if (auto it = server->connections_.find(id_); it != server->connections_.end()) it->second.later = true;
  }
  return std::make_shared<PendingReply>(server_, id_, asker_);
}

void ServiceServer::watchAsker(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second.source) return;
  std::weak_ptr<ServiceServer> weak = weak_from_this();
  it->second.source = loop_.addFdSource(it->second.fd.get(), [weak, id] {
    if (auto self = weak.lock()) self->onAskerReadable(id);
  });
  updateTimers();
}

void ServiceServer::onAskerReadable(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  if (hungUp(c.fd.get())) return askerLeft(id);
  char byte = 0;
  ssize_t n = 0;
  do {
    n = ::recv(c.fd.get(), &byte, sizeof byte, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n == 0) {
    // Only its sending side is shut: it still reads, so it still gets the
    // reply. The sweep watches for the rest of the hang-up.
    if (c.source) loop_.removeFdSource(*c.source);
    c.source.reset();
    c.halfClosed = true;
    return;
  }
  // Bytes after the request (one connection carries one request), or a
  // failed socket: the asker is treated as gone.
  askerLeft(id);
}

void ServiceServer::askerLeft(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  std::function<void()> fn = std::move(it->second.onAskerGone);
  close(id);
  if (fn) fn();
}

bool ServiceServer::sendLater(std::uint64_t id, const plist::Dictionary& reply) {
  auto it = connections_.find(id);
  if (it == connections_.end() || !it->second.later || !it->second.reply.empty()) return false;
  Connection& c = it->second;
  if (hungUp(c.fd.get())) {
    askerLeft(id);
    return false;
  }
  auto bytes = encodeReply(reply);
  if (!bytes) {
    close(id);
    return false;
  }
  if (c.source) loop_.removeFdSource(*c.source);
  c.source.reset();
  c.onAskerGone = nullptr;
  c.dispatching = false;
  c.reply = std::move(*bytes);
  c.lastProgress = loop_.clock().now();
  flush(id);
  return true;
}

bool ServiceServer::askerGone(std::uint64_t id) {
  auto it = connections_.find(id);
  return it == connections_.end() || hungUp(it->second.fd.get());
}

void ServiceServer::setOnAskerGone(std::uint64_t id, std::function<void()> fn) {
  if (auto it = connections_.find(id); it != connections_.end()) it->second.onAskerGone = std::move(fn);
}

void ServiceServer::abandon(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it != connections_.end() && it->second.later && it->second.reply.empty()) close(id);
}

PendingReply::PendingReply(std::weak_ptr<ServiceServer> server, std::uint64_t connection, pid_t asker)
    : server_(std::move(server)), connection_(connection), asker_(asker) {}

PendingReply::~PendingReply() {
  if (done_) return;
  if (auto server = server_.lock()) server->abandon(connection_);
}

bool PendingReply::send(const plist::Dictionary& reply) {
  if (done_) return false;
  done_ = true;
  auto server = server_.lock();
  return server != nullptr && server->sendLater(connection_, reply);
}

bool PendingReply::askerGone() const {
  if (done_) return true;
  auto server = server_.lock();
  return server == nullptr || server->askerGone(connection_);
}

void PendingReply::onAskerGone(std::function<void()> fn) {
  if (done_) return;
  if (auto server = server_.lock()) server->setOnAskerGone(connection_, std::move(fn));
}

void ServiceServer::updateTimers() {
  const bool anyConnection = !connections_.empty();
  const bool anyReply = std::any_of(connections_.begin(), connections_.end(),
                                    [](const auto& entry) { return !entry.second.reply.empty(); });
  std::weak_ptr<ServiceServer> weak = weak_from_this();
  if (anyConnection && !sweepTimer_) {
    sweepTimer_ = loop_.addTimer(
        kSweepInterval,
        [weak] {
          if (auto self = weak.lock()) self->sweep();
        },
        kSweepInterval);
  } else if (!anyConnection && sweepTimer_) {
    loop_.cancelTimer(*sweepTimer_);
    sweepTimer_.reset();
  }
  if (anyReply && !retryTimer_) {
    retryTimer_ = loop_.addTimer(
        kRetryInterval,
        [weak] {
          if (auto self = weak.lock()) self->retryWrites();
        },
        kRetryInterval);
  } else if (!anyReply && retryTimer_) {
    loop_.cancelTimer(*retryTimer_);
    retryTimer_.reset();
  }
}

void ServiceServer::close(std::uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  if (it->second.source) loop_.removeFdSource(*it->second.source);
  connections_.erase(it);
  if (atCapacity_) {
    atCapacity_ = false;
    listenAgain();
  }
  updateTimers();
}

}  // namespace kst::messaging
