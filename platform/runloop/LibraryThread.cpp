#include "platform/runloop/LibraryThread.h"

#include <pthread.h>

namespace kst {

AllSignalsBlocked::AllSignalsBlocked() {
  sigset_t all;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old_);
}

AllSignalsBlocked::~AllSignalsBlocked() {
  ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace kst
