#include "hook/intercept/HandlerJudge.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

// Provided by the substrate when it is loaded; absent in programs without it.
extern "C" void kst_substrate_enter(void) __attribute__((weak));

namespace kst {

namespace {

// A slot's life: a handler claims a free slot, fills it and submits it; the
// judge takes it, judges and answers; the handler reads the answer and frees
// it. A handler that stops waiting frees a slot not yet taken, or abandons
// one being judged, which the judge then frees.
enum SlotState : int { kFree, kFilling, kSubmitted, kJudging, kAnswered, kAbandoned };

struct Slot {
  std::atomic<int> state{kFree};
  HandlerRequest request;
  bool allow = false;
};

constexpr int kSlots = 32;
Slot gSlots[kSlots];
// Bumped for each submission; the judge sleeps on it.
std::atomic<int> gWork{0};
std::atomic<bool> gRunning{false};
// When the judge took up the request it works on (monotonic ms), 0 when
// idle. A judge busy with one request for longer than the bound is waiting
// on something the interrupted code holds: handlers then stop queueing.
std::atomic<long long> gBusySince{0};
std::atomic<HandlerJudgeFn> gJudge{nullptr};

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

int* futexWord(std::atomic<int>& a) {
  return reinterpret_cast<int*>(&a);
}

void futexWait(std::atomic<int>& word, int expected, const timespec* timeout) {
  ::syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWakeAll(std::atomic<int>& word) {
  ::syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

long long nowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void judgeOne(Slot& slot) {
  int expected = kSubmitted;
  if (!slot.state.compare_exchange_strong(expected, kJudging, std::memory_order_acq_rel)) return;
  const HandlerJudgeFn judge = gJudge.load(std::memory_order_acquire);
  gBusySince.store(nowMs(), std::memory_order_release);
  slot.allow = judge != nullptr && judge(slot.request);
  gBusySince.store(0, std::memory_order_release);
  expected = kJudging;
  if (slot.state.compare_exchange_strong(expected, kAnswered, std::memory_order_acq_rel)) {
    futexWakeAll(slot.state);
  } else {
    slot.state.store(kFree, std::memory_order_release);  // its handler gave up
  }
}

void* judgeThread(void*) {
  ::pthread_setname_np(::pthread_self(), "kst-judge");
  // Everything this thread does is the library's own traffic.
  if (kst_substrate_enter != nullptr) kst_substrate_enter();
  for (;;) {
    const int seen = gWork.load(std::memory_order_acquire);
    for (Slot& slot : gSlots)
      if (slot.state.load(std::memory_order_acquire) == kSubmitted) judgeOne(slot);
    futexWait(gWork, seen, nullptr);
  }
  return nullptr;
}

// The child of fork has no judge thread, and a slot a vanished thread
// claimed would stay taken.
void forgetInChild() {
  gRunning.store(false, std::memory_order_release);
  gBusySince.store(0, std::memory_order_release);
  for (Slot& slot : gSlots) slot.state.store(kFree, std::memory_order_relaxed);
}

std::mutex& startMutex() {
  static std::mutex* const mu = new std::mutex;
  return *mu;
}

}  // namespace

bool startHandlerJudge(HandlerJudgeFn judge) {
  if (gJudge.load(std::memory_order_acquire) != judge) gJudge.store(judge, std::memory_order_release);
  if (gRunning.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(startMutex());
  if (gRunning.load(std::memory_order_acquire)) return true;
  static const bool registered = ::pthread_atfork(nullptr, nullptr, forgetInChild) == 0;
  (void)registered;
  // The judge inherits a mask that blocks every signal: no handler of the
  // program ever runs on it.
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = ::pthread_create(&thread, &attr, judgeThread, nullptr) == 0;
  ::pthread_attr_destroy(&attr);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  gRunning.store(started, std::memory_order_release);
  return started;
}

bool judgeFromHandler(const HandlerRequest& request) noexcept {
  if (!gRunning.load(std::memory_order_acquire)) return false;
  const int savedErrno = errno;
  const long long busySince = gBusySince.load(std::memory_order_acquire);
  if (busySince != 0 && nowMs() - busySince > kHandlerJudgeWaitMs) {
    errno = savedErrno;
    return false;
  }
  Slot* slot = nullptr;
  for (Slot& s : gSlots) {
    int expected = kFree;
    if (s.state.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel)) {
      slot = &s;
      break;
    }
  }
  if (slot == nullptr) return false;
  std::memcpy(static_cast<void*>(&slot->request), &request, sizeof request);
  slot->allow = false;
  slot->state.store(kSubmitted, std::memory_order_release);
  gWork.fetch_add(1, std::memory_order_acq_rel);
  futexWakeAll(gWork);

  const long long deadline = nowMs() + kHandlerJudgeWaitMs;
  bool allow = false;
  for (;;) {
    const int state = slot->state.load(std::memory_order_acquire);
    if (state == kAnswered) {
      allow = slot->allow;
      slot->state.store(kFree, std::memory_order_release);
      break;
    }
    const long long left = deadline - nowMs();
    if (left <= 0) {
      int expected = kSubmitted;
      if (slot->state.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) break;
      expected = kJudging;
      if (slot->state.compare_exchange_strong(expected, kAbandoned, std::memory_order_acq_rel)) break;
      continue;  // answered meanwhile
    }
    const timespec timeout{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    futexWait(slot->state, state, &timeout);
  }
  errno = savedErrno;
  return allow;
}

}  // namespace kst
