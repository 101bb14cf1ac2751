// The substrate's start in a process: the constructor that resolves the
// real functions and loads the matching libraries of the injection folder,
// and the interposed __libc_start_main that runs the launch entry just
// before the program's main.

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bundle/MainBundle.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/objc/UIApplication.h"
#include "platform/substrate/HookTable.h"
#include "platform/substrate/InsideScope.h"
#include "platform/substrate/SignalTable.h"
#include "platform/substrate/Substrate.h"
#include "platform/substrate/TweakLoader.h"

namespace kst::substrate {

namespace {

using ProgramMain = int (*)(int, char**, char**);
using LibcStartMain = int (*)(ProgramMain, int, char**, void (*)(), void (*)(), void (*)(), void*);

ProgramMain gProgramMain = nullptr;

int launchThenMain(int argc, char** argv, char** envp) {
  // Through the exported name, so that a replacement installed by a
  // library's constructor is the one that runs.
  ::UIApplicationMain(argc, argv, nullptr, nullptr);
  return gProgramMain(argc, argv, envp);
}

void start() noexcept {
  try {
    resolveAll();
    resolveRealSigaction();
    resolveSleepFunctions();
    // The class exists before any library could look for it.
    objc::UIApplication::shared();
    // The libraries' start-up traffic is their own.
    InsideScope scope;
    loadTweaks(tweaksToLoad(DeviceRoot::process(), MainBundle::process()));
  } catch (...) {
    // Out of memory while starting: the process runs without the libraries.
  }
}

__attribute__((constructor)) void substrateConstructor() {
  start();
}

}  // namespace

}  // namespace kst::substrate

// Runs before any constructor of the program itself, after those of the
// libraries (ours included).
extern "C" __attribute__((visibility("default"))) int __libc_start_main(kst::substrate::ProgramMain main,
                                                                        int argc, char** argv, void (*init)(),
                                                                        void (*fini)(), void (*rtldFini)(),
                                                                        void* stackEnd) {
  using namespace kst::substrate;
  const auto real = reinterpret_cast<LibcStartMain>(::dlsym(RTLD_NEXT, "__libc_start_main"));
  if (real == nullptr) {
    static const char kMessage[] = "substrate: no __libc_start_main to run the program\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(127);
  }
  gProgramMain = main;
  return real(main != nullptr ? launchThenMain : nullptr, argc, argv, init, fini, rtldFini, stackEnd);
}
