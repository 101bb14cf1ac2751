// The substrate's sigaction and signal (the program's handlers go behind the
// dispatcher of SignalTable), and the sleeps that the resume signal must not
// cut short. A program that sleeps without a SIGCONT handler of its own
// never saw SIGCONT end its sleep before the resume watch installed one, so
// a sleep interrupted only by the watch goes on for the time that was left;
// one that a handler of the program's interrupted returns early as always.

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/substrate/SignalTable.h"

namespace kst::substrate {

namespace {

using NanosleepFn = int (*)(const timespec*, timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const timespec*, timespec*);

std::atomic<NanosleepFn> gNanosleep{nullptr};
std::atomic<ClockNanosleepFn> gClockNanosleep{nullptr};

template <class Fn>
Fn resolved(std::atomic<Fn>& slot, const char* name) {
  Fn fn = slot.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
    slot.store(fn, std::memory_order_release);
  }
  return fn;
}

// Whether the call that just failed with EINTR was interrupted only by the
// resume watch: no handler of the program's ran, the watch did.
struct InterruptionWatch {
  unsigned program = tProgramHandlerRuns;
  unsigned continueOnly = tContinueOnlyRuns;
  bool onlyTheResume() const { return tProgramHandlerRuns == program && tContinueOnlyRuns != continueOnly; }
};

[[maybe_unused]] int resumingNanosleep(const timespec* request, timespec* remaining) {
  const NanosleepFn real = resolved(gNanosleep, "nanosleep");
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (request == nullptr) return real(request, remaining);
  timespec want = *request;
  for (;;) {
    const InterruptionWatch watch;
    timespec left{};
    const int r = real(&want, &left);
    if (r == 0 || errno != EINTR) return r;
    if (!watch.onlyTheResume()) {
      if (remaining != nullptr) *remaining = left;
      return r;
    }
    want = left;
  }
}

}  // namespace

void resolveSleepFunctions() noexcept {
  resolved(gNanosleep, "nanosleep");
  resolved(gClockNanosleep, "clock_nanosleep");
}

}  // namespace kst::substrate

#define KST_EXPORT extern "C" __attribute__((visibility("default")))

// The thread sanitizer owns a process's signal handling and sleeps (it
// installs its handlers through sigaction before anything of ours could
// run): a substrate built with it leaves them alone, and its handlers' calls
// are judged like any other.
#if !defined(__SANITIZE_THREAD__)

KST_EXPORT int sigaction(int sig, const struct sigaction* act, struct sigaction* oldact) {
  return kst::substrate::programSigaction(sig, act, oldact);
}

KST_EXPORT sighandler_t signal(int sig, sighandler_t handler) {
  return kst::substrate::programSignal(sig, handler);
}

KST_EXPORT sighandler_t bsd_signal(int sig, sighandler_t handler) {
  return kst::substrate::programSignal(sig, handler);
}

// System V semantics: one-shot, the signal not blocked in its handler, no
// restart.
KST_EXPORT sighandler_t sysv_signal(int sig, sighandler_t handler) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  struct sigaction old = {};
  if (handler == SIG_ERR || kst::substrate::programSigaction(sig, &action, &old) != 0) {
    if (handler == SIG_ERR) errno = EINVAL;
    return SIG_ERR;
  }
  return old.sa_handler;
}

KST_EXPORT int nanosleep(const timespec* request, timespec* remaining) {
  return kst::substrate::resumingNanosleep(request, remaining);
}

KST_EXPORT int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
  using namespace kst::substrate;
  const ClockNanosleepFn real = resolved(gClockNanosleep, "clock_nanosleep");
  if (real == nullptr) return ENOSYS;
  if (request == nullptr) return real(clock, flags, request, remaining);
  timespec want = *request;
  for (;;) {
    const InterruptionWatch watch;
    timespec left{};
    const int r = real(clock, flags, &want, &left);
    if (r != EINTR) return r;
    if (!watch.onlyTheResume()) {
      if (remaining != nullptr && (flags & TIMER_ABSTIME) == 0) *remaining = left;
      return r;
    }
    if ((flags & TIMER_ABSTIME) == 0) want = left;  // an absolute end stays as it was
  }
}

// As the C library's: the unslept seconds when a handler interrupted it.
KST_EXPORT unsigned int sleep(unsigned int seconds) {
  const int savedErrno = errno;
  timespec ts{static_cast<time_t>(seconds), 0};
  if (kst::substrate::resumingNanosleep(&ts, &ts) < 0) return static_cast<unsigned int>(ts.tv_sec);
  errno = savedErrno;
  return 0;
}

KST_EXPORT int usleep(useconds_t microseconds) {
  const timespec ts{static_cast<time_t>(microseconds / 1000000),
                    static_cast<long>(microseconds % 1000000) * 1000};
  return kst::substrate::resumingNanosleep(&ts, nullptr);
}

#endif  // !__SANITIZE_THREAD__

KST_EXPORT int kst_substrate_in_signal_handler(void) {
  return kst::substrate::inSignalHandler() ? 1 : 0;
}
