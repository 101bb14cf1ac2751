#pragma once

#include "platform/runloop/RunLoop.h"

namespace kst {

// The symbol a program that owns its main thread (the shell) exports for
// the libraries it loads: `extern "C" kst::RunLoop* kst_program_main_loop()`.
inline constexpr const char* kProgramMainLoopSymbol = "kst_program_main_loop";

// When the program exports its main loop, makes it this library's main
// queue (through a forwarder that makes it RunLoop::current() inside its
// callbacks, since each library keeps its own current loop) and returns
// true. Otherwise changes nothing: the library keeps a queue of its own.
// Called once, before the first use of mainQueue().
bool adoptProgramMainQueue();

}  // namespace kst
