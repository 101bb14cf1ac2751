#pragma once

namespace kst::objc {

// Turns SIGCONT into -[UIApplication applicationDidResume] on the main
// queue. The signal handler only writes a byte to a pipe that the main
// queue watches (async-signal-safe); the method runs when the queue reads
// it. Several signals that arrive before the queue wakes make one call.
//
// Started once, when the method is first replaced, so that processes whose
// resume nobody watches keep their signals. The substrate's dispatcher owns
// SIGCONT from then on (SA_RESTART): a handler the application had installed
// before, or installs later through sigaction or signal, runs after the
// wake-up; SIG_IGN or the default only keep the program's own handler from
// running. A sleep that only the wake-up interrupted goes on.
//
// The pipe is watched on the main queue, whose thread is not started for it:
// watching begins with watch() (the hook library's first judged call), and a
// signal that came before is read then. A forked child makes a pipe of its
// own at once and is watched likewise from its first watch(): nothing of
// ours runs between a program's fork and exec, and a process that never
// connects runs no thread of ours for its resume.
class ResumeWatch {
 public:
  // Idempotent; any thread. Returns whether the watch runs.
  static bool start();
  static bool running();
  // Starts watching the pipe on the main queue when that waits to be done
  // (after start(), and in a forked child); otherwise nothing (one atomic
  // load). Not for signal handlers.
  static void watch();
};

}  // namespace kst::objc
