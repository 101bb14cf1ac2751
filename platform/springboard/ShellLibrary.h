#pragma once

#include "platform/springboard/QtRunLoop.h"

namespace kst::springboard {

// The shell's main loop: made on the main thread when the shell's library
// starts (before the hook library, which adopts it as its main queue) and
// never destroyed.
QtRunLoop& shellMainLoop();

// The whole `springboard` program.
int springboardMain(int argc, char** argv);

}  // namespace kst::springboard
