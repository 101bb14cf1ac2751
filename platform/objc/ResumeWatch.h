#pragma once

namespace kst::objc {

// Turns SIGCONT into -[UIApplication applicationDidResume] on the main
// queue. The signal handler only writes a byte to a pipe that the main
// queue watches (async-signal-safe); the method runs when the queue reads
// it. Several signals that arrive before the queue wakes make one call.
//
// Started once, when the method is first replaced, so that processes whose
// resume nobody watches keep their signals and start no thread. The
// substrate's dispatcher owns SIGCONT from then on (SA_RESTART): a handler
// the application had installed before, or installs later through sigaction
// or signal, runs after the wake-up; SIG_IGN or the default only keep the
// program's own handler from running. A sleep that only the wake-up
// interrupted goes on. A forked child makes a pipe of its own at once, and
// watches it on its own main queue from its first renewAfterFork() on (a
// signal that came before is read then): nothing of ours runs between the
// program's fork and exec.
class ResumeWatch {
 public:
  // Idempotent; any thread. Returns whether the watch runs.
  static bool start();
  static bool running();
  // In a forked child, starts watching the child's pipe; otherwise nothing
  // (one atomic load). Not for signal handlers.
  static void renewAfterFork();
};

}  // namespace kst::objc
