#pragma once

#include <signal.h>

namespace kst::substrate {

// The program's signal handlers, seen through the substrate's sigaction and
// signal. The kernel gets the substrate's dispatcher in front of every
// handler the program installs; the dispatcher runs the program's handler
// with the thread marked as "in a handler" and outside the hook library's
// own calls (so a connect made by the handler is the application's and is
// judged, even when the handler interrupted a replacement). The program
// sees its own actions: sigaction's old action is what it installed.
//
// SIGCONT is also the resume signal: once a wake function is watching it,
// the dispatcher stays installed whatever the program does with the signal,
// runs the wake first and then the program's handler, if any. (The default
// action and SIG_IGN of SIGCONT differ only in the handler: the process is
// continued either way.)
//
// Lock-free throughout: sigaction may be called from a handler, and the
// dispatcher runs in any thread at any moment. The program's action of
// each signal is kept in atomics; two threads that change the same signal
// at the same instant may see each other's flags mixed.

// Per thread: how deep the thread is in handlers of the program's.
extern constinit thread_local int tHandlerDepth __attribute__((tls_model("initial-exec")));
// Per thread, counted by the dispatcher: handlers of the program's that
// ran, and SIGCONTs that only woke the resume watch. A sleep interrupted
// only by the latter is resumed (the program never saw a signal).
extern constinit thread_local unsigned tProgramHandlerRuns __attribute__((tls_model("initial-exec")));
extern constinit thread_local unsigned tContinueOnlyRuns __attribute__((tls_model("initial-exec")));

// Whether the calling thread runs a handler of the program's now.
inline bool inSignalHandler() noexcept {
  return tHandlerDepth > 0;
}

// A handler left with siglongjmp never returns to the dispatcher. The
// trampolines call this on entry, from the program's own code: a handler
// whose dispatcher frame lies above the caller's has been left, and the
// program's code runs outside the library (inside depth 0). Assumes one
// stack per thread (an alternate signal stack above the thread's stack
// keeps a left handler counted until the thread runs a handler again).
void forgetLeftHandlersSlow() noexcept;
inline void forgetLeftHandlers() noexcept {
  if (tHandlerDepth > 0) [[unlikely]]
    forgetLeftHandlersSlow();
}

// sigaction as the program calls it. Returns what sigaction returns.
int programSigaction(int sig, const struct sigaction* act, struct sigaction* oldact) noexcept;

// signal() with the C library's (BSD) semantics, through programSigaction.
sighandler_t programSignal(int sig, sighandler_t handler) noexcept;

// Makes `wake` run on every SIGCONT the process receives, first thing in
// the dispatcher. `wake` must be async-signal-safe and keep errno. Returns
// whether the dispatcher is installed.
bool watchContinue(void (*wake)()) noexcept;

// Resolve the C library's sigaction and sleeps; call while allocating is
// safe (the substrate's constructor), so a handler never has to.
void resolveRealSigaction() noexcept;
void resolveSleepFunctions() noexcept;  // in the shared library only

}  // namespace kst::substrate
