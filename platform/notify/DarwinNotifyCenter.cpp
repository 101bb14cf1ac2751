#include "platform/notify/DarwinNotifyCenter.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/runloop/LibraryThread.h"

namespace kst {

namespace {

constexpr std::string_view kNotifyFolder = "notify";

std::string randomPart() {
  std::uint64_t r = 0;
  if (::getrandom(&r, sizeof(r), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(r))) {
    // Early boot without entropy: the pid already makes the name unique
    // among live processes; the time only avoids reusing a dead one's.
    r = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(r));
  return buf;
}

bool isSocket(int folderFd, const dirent& entry) {
  if (entry.d_type == DT_SOCK) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return ::fstatat(folderFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode);
}

// One datagram into `buf`: its full length (MSG_TRUNC), or -1 when nothing
// came or it came from a process of another user (the folder is private,
// but a process of another user that can reach it, root included, still
// must not drive this user's reloads).
ssize_t receiveFromOwnUser(int sock, std::string& buf) {
  iovec iov{buf.data(), buf.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(sock, &message, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) return -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS ||
        c->cmsg_len != CMSG_LEN(sizeof(ucred)))
      continue;
    ucred cred{};
    std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
    return cred.uid == ::geteuid() ? n : -1;
  }
  return -1;  // no credentials: not a datagram we can vouch for
}

}  // namespace

// Keeps every centre's lock consistent across fork(): the child must not
// inherit a lock held by a thread that does not exist there.
struct NotifyForkGuard {
  static std::mutex& mu() {
    static auto* m = new std::mutex;
    return *m;
  }
  static std::set<DarwinNotifyCenter*>& centers() {
    static auto* s = new std::set<DarwinNotifyCenter*>;
    return *s;
  }
  static void prepare() {
    mu().lock();
    for (DarwinNotifyCenter* c : centers()) c->mu_.lock();
  }
  static void parent() {
    for (DarwinNotifyCenter* c : centers()) c->mu_.unlock();
    mu().unlock();
  }
  // Nothing of ours may run in the child between the program's fork and its
  // exec: a thread started here races the program's own descriptor work (a
  // browser moves its channels onto low numbers right after fork). The
  // child listens again from its first listen() (the hook library's first
  // judged call) or post().
  static void child() {
    for (DarwinNotifyCenter* c : centers()) {
      c->adoptForkLocked();
      c->listenPending_.store(!c->observers_.empty(), std::memory_order_release);
      c->mu_.unlock();
    }
    mu().unlock();
  }
  static void add(DarwinNotifyCenter* c) {
    static const int installed = ::pthread_atfork(&prepare, &parent, &child);
    (void)installed;
    std::lock_guard lock(mu());
    centers().insert(c);
  }
  static void remove(DarwinNotifyCenter* c) {
    std::lock_guard lock(mu());
    centers().erase(c);
  }
};

DarwinNotifyCenter::DarwinNotifyCenter(DeviceRoot root) : root_(std::move(root)) {
  NotifyForkGuard::add(this);
}

DarwinNotifyCenter::~DarwinNotifyCenter() {
  NotifyForkGuard::remove(this);
  std::unique_lock lock(mu_);
  stopLocked(lock);
}

DarwinNotifyCenter& DarwinNotifyCenter::process() {
  // Never destroyed: callbacks may still arrive while statics go away.
  static auto* center = new DarwinNotifyCenter(DeviceRoot::process());
  return *center;
}

std::string DarwinNotifyCenter::folder() const {
  return messaging::runFolder(root_) + "/" + std::string(kNotifyFolder);
}

std::size_t DarwinNotifyCenter::post(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return 0;
  {
    // A forked child that inherited observers listens again from here on.
    std::lock_guard lock(mu_);
    adoptForkLocked();
    if (!listening_ && !observers_.empty()) ensureListeningLocked();
  }
  const std::string dir = folder();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;  // nobody has ever observed
  const messaging::UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  std::size_t reached = 0;
  while (sock.valid()) {
    const dirent* entry = ::readdir(d);
    if (entry == nullptr) break;
    if (!isSocket(::dirfd(d), *entry)) continue;
    const auto addr = messaging::SocketAddress::forPath(dir + "/" + entry->d_name);
    if (!addr) continue;
    ssize_t n = 0;
    do {
      n = ::sendto(sock.get(), name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL, addr->get(),
                   addr->size());
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
      ++reached;
    } else if (errno == ECONNREFUSED) {
      // Nobody holds the socket any more: its process is gone.
      ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    // Anything else (a full queue) loses the notification for that observer
    // only, as nothing is ever queued for later.
  }
  ::closedir(d);
  return reached;
}

DarwinNotifyCenter::ObserverId DarwinNotifyCenter::addObserver(std::string name, Callback callback) {
  std::unique_lock lock(mu_);
  adoptForkLocked();
  if (deferred_ && !listening_) {
    listenPending_.store(true, std::memory_order_release);
  } else if (!ensureListeningLocked()) {
    return 0;
  }
  const ObserverId id = nextId_++;
  observers_.push_back(Observer{id, std::move(name), std::move(callback)});
  return id;
}

void DarwinNotifyCenter::removeObserver(ObserverId id) {
  std::unique_lock lock(mu_);
  adoptForkLocked();
  std::erase_if(observers_, [id](const Observer& o) { return o.id == id; });
  const bool onNotificationThread =
      listening_ && owner_ == ::getpid() && ::pthread_equal(thread_, ::pthread_self());
  if (!onNotificationThread) idle_.wait(lock, [&] { return running_ != id; });
}

void DarwinNotifyCenter::deferListening() {
  std::lock_guard lock(mu_);
  deferred_ = true;
}

bool DarwinNotifyCenter::listen() {
  if (!listenPending_.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(mu_);
  if (!listenPending_.exchange(false, std::memory_order_acq_rel)) return false;
  adoptForkLocked();
  if (!listening_ && !observers_.empty()) ensureListeningLocked();
  return true;
}

void DarwinNotifyCenter::adoptForkLocked() {
  if (!listening_ || owner_ == ::getpid()) return;
  // A forked child: the socket is the parent's (so is its file, which stays),
  // and the thread, with any callback it was running, does not exist here.
  socketPath_.clear();
  socket_.reset();  // this process's copies of the parent's descriptors
  wakeRead_.reset();
  wakeWrite_.reset();
  listening_ = false;
  stopping_ = false;
  running_ = 0;
}

bool DarwinNotifyCenter::openLocked() {
  closeLocked();
  if (!messaging::ensureRunFolder(root_, kNotifyFolder)) return false;
  messaging::KeptFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int pipeFds[2];
  if (!sock.valid() || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  messaging::KeptFd wakeRead(pipeFds[0]);
  messaging::KeptFd wakeWrite(pipeFds[1]);
  const std::string path = folder() + "/" + std::to_string(::getpid()) + "-" + randomPart();
  const auto addr = messaging::SocketAddress::forPath(path);
  // Each datagram then carries its sender's credentials, checked on receipt.
  const int on = 1;
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return false;
  if (!addr || ::bind(sock.get(), addr->get(), addr->size()) != 0) return false;
  socket_ = std::move(sock);
  wakeRead_ = std::move(wakeRead);
  wakeWrite_ = std::move(wakeWrite);
  socketPath_ = path;
  return true;
}

void DarwinNotifyCenter::closeLocked() {
  // The file is this centre's by its name, whatever became of the socket.
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
  socketPath_.clear();
  socket_.reset();
  wakeRead_.reset();
  wakeWrite_.reset();
}

bool DarwinNotifyCenter::ensureListeningLocked() {
  adoptForkLocked();
  if (listening_) return true;
  if (!openLocked()) {
    closeLocked();
    return false;
  }
  stopping_ = false;
  int started;
  {
    AllSignalsBlocked blocked;  // inherited by the notification thread
    started = ::pthread_create(&thread_, nullptr, &DarwinNotifyCenter::threadMain, this);
  }
  if (started != 0) {
    closeLocked();
    return false;
  }
  owner_ = ::getpid();
  listening_ = true;
  return true;
}

void DarwinNotifyCenter::stopLocked(std::unique_lock<std::mutex>& lock) {
  if (!listening_ || owner_ != ::getpid()) return;  // a fork's inheritance is not ours to stop
  stopping_ = true;
  if (wakeWrite_.intact()) {
    const char one = 1;
    while (::write(wakeWrite_.get(), &one, 1) < 0 && errno == EINTR) {
    }
  }
  // Without a wake-up pipe the thread still sees stopping_ within one check.
  const pthread_t thread = thread_;
  listening_ = false;
  lock.unlock();  // the thread may be delivering and need the lock
  ::pthread_join(thread, nullptr);
  lock.lock();
  closeLocked();
  stopping_ = false;
}

void* DarwinNotifyCenter::threadMain(void* self) {
  ::pthread_setname_np(::pthread_self(), "kst-notify");
  static_cast<DarwinNotifyCenter*>(self)->receiveLoop();
  return nullptr;
}

void DarwinNotifyCenter::receiveLoop() {
  std::string buf(kMaxNameLength + 1, '\0');
  for (;;) {
    int sock = -1;
    int wake = -1;
    {
      std::lock_guard lock(mu_);
      if (stopping_) return;
      // Closed or replaced by the program: bind anew. When that fails (no
      // descriptor free), the next check tries again; the negative numbers
      // make the poll below a plain wait.
      if (!socket_.intact() || !wakeRead_.intact() || !wakeWrite_.intact()) openLocked();
      sock = socket_.get();
      wake = wakeRead_.get();
    }
    pollfd fds[2] = {{sock, POLLIN, 0}, {wake, POLLIN, 0}};
    // Bounded, so that descriptors lost without an event are noticed too.
    if (::poll(fds, 2, kDescriptorCheckMs) <= 0) continue;
    if (((fds[0].revents | fds[1].revents) & POLLNVAL) != 0) continue;
    std::unique_lock lock(mu_);
    // Nothing is read from a number that is no longer ours.
    if (stopping_ || socket_.get() != sock || !socket_.intact() || !wakeRead_.intact()) continue;
    if (fds[1].revents != 0) {
      char drain[64];
      while (::read(wake, drain, sizeof drain) > 0) {
      }
    }
    if (fds[0].revents == 0) continue;
    lock.unlock();
    const ssize_t n = receiveFromOwnUser(sock, buf);
    // Empty or over-long datagrams, and those of another user, are nobody's
    // notification.
    if (n <= 0 || static_cast<std::size_t>(n) > kMaxNameLength) continue;
    deliver(buf.substr(0, static_cast<std::size_t>(n)));
  }
}

void DarwinNotifyCenter::deliver(const std::string& name) {
  std::unique_lock lock(mu_);
  std::vector<ObserverId> ids;
  for (const Observer& o : observers_)
    if (o.name == name) ids.push_back(o.id);
  for (ObserverId id : ids) {
    // Looked up again each time: an earlier callback may have removed it.
    auto it =
        std::find_if(observers_.begin(), observers_.end(), [id](const Observer& o) { return o.id == id; });
    if (it == observers_.end()) continue;
    Callback callback = it->callback;
    running_ = id;
    lock.unlock();
    callback();
    lock.lock();
    running_ = 0;
    idle_.notify_all();
  }
}

}  // namespace kst
