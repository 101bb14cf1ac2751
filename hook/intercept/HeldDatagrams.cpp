#include "hook/intercept/HeldDatagrams.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

struct Datagram {
  int fd = -1;  // the library's own descriptor of the sending socket
  std::string bytes;
  int flags = 0;
};

struct HeldFor {
  JudgedAddress destination;
  std::vector<Datagram> datagrams;
  HeldDatagrams::Judge judge;
};

bool sameDestination(const JudgedAddress& a, const JudgedAddress& b) {
  return a.length == b.length && std::memcmp(a.get(), b.get(), a.length) == 0;
}

}  // namespace

struct HeldDatagrams::State {
  std::mutex mu;
  std::condition_variable work;
  std::list<HeldFor> waiting;
  std::size_t held = 0;
  std::size_t bytes = 0;
  bool threadStarted = false;
  std::atomic<Send> send{nullptr};
};

namespace {

std::atomic<HeldDatagrams::State*> gState{nullptr};

void dropAll(std::vector<Datagram>& datagrams) {
  for (Datagram& d : datagrams) ::close(d.fd);
  datagrams.clear();
}

// The child of fork has no asking thread, and a lock a vanished thread held
// would never be released there: it starts afresh. The parent's held
// datagrams are the parent's to send; the child's copies of their
// descriptors are closed when the old state can be read safely.
void forgetInChild() {
  HeldDatagrams::State* old = gState.load(std::memory_order_acquire);
  if (old == nullptr) return;
  auto* fresh = new HeldDatagrams::State();
  fresh->send.store(old->send.load());
  // The old one is left: a thread may have been inside it.
  gState.store(fresh, std::memory_order_release);
  if (!old->mu.try_lock()) return;
  for (HeldFor& h : old->waiting) {
    for (Datagram& d : h.datagrams) closeOwn(d.fd);
  }
  old->mu.unlock();
}

void askingThread(HeldDatagrams::State* s) {
  ::pthread_setname_np(::pthread_self(), "kst-datagrams");
  // Everything this thread does is the library's own traffic.
  if (kst_substrate_enter != nullptr) kst_substrate_enter();
  for (;;) {
    HeldDatagrams::Judge judge;
    JudgedAddress destination;
    {
      std::unique_lock<std::mutex> lock(s->mu);
      s->work.wait(lock, [&] { return !s->waiting.empty(); });
      HeldFor& next = s->waiting.front();
      judge = std::move(next.judge);
      destination = next.destination;
    }
    bool allowed = false;
    try {
      allowed = judge && judge();
    } catch (...) {
      allowed = false;  // nothing goes out unjudged
    }
    std::vector<Datagram> datagrams;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      HeldFor& done = s->waiting.front();
      datagrams = std::move(done.datagrams);
      s->waiting.pop_front();
      for (const Datagram& d : datagrams) {
        --s->held;
        s->bytes -= d.bytes.size();
      }
    }
    const HeldDatagrams::Send send = s->send.load(std::memory_order_acquire);
    for (Datagram& d : datagrams) {
      if (allowed && send != nullptr) [[maybe_unused]]
        const ssize_t sent =
            send(d.fd, d.bytes.data(), d.bytes.size(), d.flags, destination.get(), destination.length);
    }
    dropAll(datagrams);
  }
}

}  // namespace

HeldDatagrams& HeldDatagrams::process() {
  static HeldDatagrams* const instance = new HeldDatagrams();
  return *instance;
}

HeldDatagrams::State& HeldDatagrams::state() const {
  return processState<State, forgetInChild>(gState);
}

void HeldDatagrams::setSender(Send send) {
  state().send.store(send, std::memory_order_release);
}

std::size_t HeldDatagrams::heldCount() const {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.held;
}

bool HeldDatagrams::hold(int fd, const void* data, std::size_t length, int flags,
                         const JudgedAddress& destination, Judge judge) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.held >= kMaxHeld || length > kMaxBytes - s.bytes) return false;
  HeldFor* entry = nullptr;
  for (HeldFor& h : s.waiting) {
    // One being asked still takes datagrams: they follow its answer.
    if (sameDestination(h.destination, destination)) entry = &h;
  }
  if (entry != nullptr && entry->datagrams.size() >= kPerDestination) return false;
  if (!s.threadStarted) {
    AllSignalsBlocked blocked;  // the thread inherits a mask that blocks them all
    try {
      std::thread(askingThread, &s).detach();
    } catch (...) {
      return false;
    }
    s.threadStarted = true;
  }
  Datagram d;
  d.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, messaging::KeptFd::floor());
  if (d.fd < 0) d.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (d.fd < 0) return false;
  d.bytes.assign(static_cast<const char*>(data), data != nullptr ? length : 0);
  d.flags = flags;
  if (entry == nullptr) {
    s.waiting.push_back(HeldFor{destination, {}, std::move(judge)});
    entry = &s.waiting.back();
  }
  s.bytes += d.bytes.size();
  ++s.held;
  entry->datagrams.push_back(std::move(d));
  s.work.notify_one();
  return true;
}

}  // namespace kst
