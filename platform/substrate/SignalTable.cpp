#include "platform/substrate/SignalTable.h"

#include <dlfcn.h>
#include <errno.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/substrate/InsideScope.h"

namespace kst::substrate {

constinit thread_local int tHandlerDepth __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local unsigned tProgramHandlerRuns __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local unsigned tContinueOnlyRuns __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// Per thread, for the handlers it runs (nested up to kFrames deep): the
// dispatcher's frame address, so that a handler left with siglongjmp can be
// recognised later.
constexpr int kFrames = 16;
constinit thread_local const void* tFrames[kFrames] __attribute__((tls_model("initial-exec"))) = {};

using SigactionFn = int (*)(int, const struct sigaction*, struct sigaction*);

// The program's action of one signal. `known` is false until the program
// (or the watch) set it through us; until then the kernel's is the program's.
struct ProgramAction {
  std::atomic<bool> known{false};
  std::atomic<void*> handler{nullptr};  // sa_handler or sa_sigaction, SIG_DFL, SIG_IGN
  std::atomic<int> flags{0};
  std::atomic<std::uint64_t> mask{0};  // the first 64 signals: all Linux has
};

constexpr int kSignals = 65;
constinit ProgramAction gActions[kSignals];
constinit std::atomic<void (*)()> gContinueWake{nullptr};
constinit std::atomic<SigactionFn> gRealSigaction{nullptr};

SigactionFn realSigaction() {
  SigactionFn real = gRealSigaction.load(std::memory_order_acquire);
  if (real == nullptr) {
    real = reinterpret_cast<SigactionFn>(::dlsym(RTLD_NEXT, "sigaction"));
    gRealSigaction.store(real, std::memory_order_release);
  }
  return real;
}

bool isHandler(void* h) {
  return h != reinterpret_cast<void*>(SIG_DFL) && h != reinterpret_cast<void*>(SIG_IGN) &&
         h != reinterpret_cast<void*>(SIG_ERR);
}

void* handlerOf(const struct sigaction& a) {
  return (a.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<void*>(a.sa_sigaction)
                                        : reinterpret_cast<void*>(a.sa_handler);
}

std::uint64_t maskWord(const sigset_t& set) {
  std::uint64_t word = 0;
  std::memcpy(&word, &set, sizeof word);
  return word;
}

void record(ProgramAction& p, const struct sigaction& a) {
  p.handler.store(handlerOf(a), std::memory_order_relaxed);
  p.flags.store(a.sa_flags, std::memory_order_relaxed);
  p.mask.store(maskWord(a.sa_mask), std::memory_order_relaxed);
  p.known.store(true, std::memory_order_release);
}

void recorded(const ProgramAction& p, struct sigaction* out) {
  std::memset(out, 0, sizeof *out);
  const int flags = p.flags.load(std::memory_order_relaxed);
  void* handler = p.handler.load(std::memory_order_relaxed);
  out->sa_flags = flags;
  if ((flags & SA_SIGINFO) != 0 && isHandler(handler)) {
    out->sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t*, void*)>(handler);
  } else {
    out->sa_handler = reinterpret_cast<sighandler_t>(handler);
  }
  const std::uint64_t word = p.mask.load(std::memory_order_relaxed);
  std::memcpy(&out->sa_mask, &word, sizeof word);
}

bool watchingContinue() {
  return gContinueWake.load(std::memory_order_acquire) != nullptr;
}

void dispatch(int sig, siginfo_t* info, void* context) {
  if (sig <= 0 || sig >= kSignals) return;
  if (sig == SIGCONT) {
    if (void (*wake)() = gContinueWake.load(std::memory_order_acquire)) wake();
  }
  ProgramAction& p = gActions[sig];
  void* handler = p.handler.load(std::memory_order_acquire);
  const int flags = p.flags.load(std::memory_order_relaxed);
  if (!isHandler(handler)) {
    if (sig == SIGCONT) ++tContinueOnlyRuns;
    return;
  }
  // A one-shot handler is gone before it runs (the kernel has reset its
  // action; for the resume signal, which keeps our dispatcher, the reset is
  // ours alone), so one that installs itself again stays installed.
  if ((flags & SA_RESETHAND) != 0) {
    p.handler.store(nullptr, std::memory_order_release);
    p.flags.store(0, std::memory_order_relaxed);
  }
  ++tProgramHandlerRuns;
  // The handler's calls are the program's, even when it interrupted the
  // library's own or the resolver's.
  const int inside = tInsideDepth;
  if (tHandlerDepth < kFrames) tFrames[tHandlerDepth] = __builtin_frame_address(0);
  ++tHandlerDepth;
  tInsideDepth = 0;
  if ((flags & SA_SIGINFO) != 0) {
    reinterpret_cast<void (*)(int, siginfo_t*, void*)>(handler)(sig, info, context);
  } else {
    reinterpret_cast<void (*)(int)>(handler)(sig);
  }
  tInsideDepth = inside;
  --tHandlerDepth;
}

// The kernel's action for the program's `a`: the dispatcher in front of a
// handler; the resume signal always goes to the dispatcher while watched.
struct sigaction kernelAction(int sig, const struct sigaction& a) {
  struct sigaction k = a;
  const bool handler = isHandler(handlerOf(a));
  if (handler || (sig == SIGCONT && watchingContinue())) {
    k.sa_sigaction = dispatch;
    k.sa_flags |= SA_SIGINFO;
    if (sig == SIGCONT) {
      k.sa_flags &= ~SA_RESETHAND;
      if (!handler) k.sa_flags |= SA_RESTART;
    }
  }
  return k;
}

}  // namespace

void forgetLeftHandlersSlow() noexcept {
  // Stacks grow down: the dispatcher's frame of a handler still running
  // lies above (at a higher address than) anything the handler calls.
  const void* here = __builtin_frame_address(0);
  bool left = false;
  while (tHandlerDepth > 0 && tHandlerDepth <= kFrames && tFrames[tHandlerDepth - 1] < here) {
    --tHandlerDepth;
    left = true;
  }
  if (left) tInsideDepth = 0;
}

void resolveRealSigaction() noexcept {
  realSigaction();
}

int programSigaction(int sig, const struct sigaction* act, struct sigaction* oldact) noexcept {
  const SigactionFn real = realSigaction();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  // Signals the kernel will refuse (or that nobody may catch) go straight on.
  if (sig <= 0 || sig >= kSignals || sig == SIGKILL || sig == SIGSTOP) return real(sig, act, oldact);
  ProgramAction& p = gActions[sig];
  struct sigaction previous;
  if (p.known.load(std::memory_order_acquire)) {
    recorded(p, &previous);
  } else if (real(sig, nullptr, &previous) != 0) {
    return -1;  // errno from the kernel (a signal the C library reserves)
  }
  if (act != nullptr) {
    const struct sigaction k = kernelAction(sig, *act);
    if (isHandler(handlerOf(*act))) {
      // The handler is known before the kernel can call the dispatcher.
      record(p, *act);
      if (real(sig, &k, nullptr) != 0) {
        const int error = errno;
        record(p, previous);
        errno = error;
        return -1;
      }
    } else {
      // The default or ignoring: the kernel first, so no signal meanwhile
      // finds the dispatcher without a handler to run.
      if (real(sig, &k, nullptr) != 0) return -1;
      record(p, *act);
    }
  }
  if (oldact != nullptr) *oldact = previous;
  return 0;
}

sighandler_t programSignal(int sig, sighandler_t handler) noexcept {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  if (sig > 0 && sig < kSignals) sigaddset(&action.sa_mask, sig);
  action.sa_flags = SA_RESTART;
  struct sigaction old;
  if (handler == SIG_ERR || programSigaction(sig, &action, &old) != 0) {
    if (handler == SIG_ERR) errno = EINVAL;
    return SIG_ERR;
  }
  return old.sa_handler;  // shares its storage with sa_sigaction
}

bool watchContinue(void (*wake)()) noexcept {
  const SigactionFn real = realSigaction();
  if (real == nullptr || wake == nullptr) return false;
  ProgramAction& p = gActions[SIGCONT];
  struct sigaction current;
  if (p.known.load(std::memory_order_acquire)) {
    recorded(p, &current);
  } else {
    if (real(SIGCONT, nullptr, &current) != 0) return false;
    if (handlerOf(current) == reinterpret_cast<void*>(dispatch)) return true;
    record(p, current);
  }
  gContinueWake.store(wake, std::memory_order_release);
  const struct sigaction k = kernelAction(SIGCONT, current);
  return real(SIGCONT, &k, nullptr) == 0;
}

}  // namespace kst::substrate
