#pragma once

#include <signal.h>

namespace kst {

// Blocks every signal on the calling thread for the scope's lifetime, so
// that a thread the library starts inside the scope inherits a mask that
// blocks them all: the program's signal handlers belong on the program's
// own threads, never on a thread of the library that lives inside it. (The
// C library keeps the two signals it uses for itself deliverable.) A fault
// on a library thread still ends the process, as the kernel forces the
// default action for a blocked fault signal.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked();
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  ~AllSignalsBlocked();

 private:
  sigset_t old_;
};

}  // namespace kst
