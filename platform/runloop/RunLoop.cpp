#include "platform/runloop/RunLoop.h"

namespace kst {

namespace {

// Constant-initialised and trivially destructible, so it costs no
// initialisation guard and is still valid in hooks run at thread exit.
thread_local RunLoop* tCurrent = nullptr;

}  // namespace

RunLoop* RunLoop::current() {
  return tCurrent;
}

RunLoop::CurrentScope::CurrentScope(RunLoop* loop) : previous_(tCurrent) {
  tCurrent = loop;
}

RunLoop::CurrentScope::~CurrentScope() {
  tCurrent = previous_;
}

}  // namespace kst
