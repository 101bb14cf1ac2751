// The shell's start before main. This library is a direct dependency of
// the `springboard` program, so its constructor runs before the preloaded
// substrate loads the hook library: the stand-in classes exist and the main
// loop is exported by the time the hook library's SpringBoard role starts.
// That is also why it reaches the substrate only through dlsym.

#include "platform/springboard/ShellLibrary.h"

#include "platform/springboard/StandInClasses.h"

namespace kst::springboard {

QtRunLoop& shellMainLoop() {
  static auto* loop = new QtRunLoop(Clock::real());
  return *loop;
}

namespace {

__attribute__((constructor)) void startShellLibrary() {
  shellMainLoop();
  installMainQueue(&shellMainLoop());
  registerStandInClasses();
}

}  // namespace

}  // namespace kst::springboard

// The main loop of the program, for the libraries it loads.
extern "C" __attribute__((visibility("default"))) kst::RunLoop* kst_program_main_loop() {
  return &kst::springboard::shellMainLoop();
}
