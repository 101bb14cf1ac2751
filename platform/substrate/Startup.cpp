// The substrate's start in a process: the constructor that resolves the
// real functions and loads the matching libraries of the injection folder,
// and the interposed __libc_start_main that runs the launch entry once,
// before the program's own code: ahead of the program's constructors when a
// library loaded here has replaced a launch entry (so a hooked application's
// constructors are judged like its main), else just before main (a program
// that hooks the launch entry from its own constructor still sees it run).

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bundle/MainBundle.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/objc/MethodTable.h"
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
std::atomic<bool> gLaunched{false};

void launchOnce(int argc, char** argv) {
  bool expected = false;
  // Through the exported name, so that a replacement installed by a
  // library's constructor is the one that runs.
  if (gLaunched.compare_exchange_strong(expected, true)) ::UIApplicationMain(argc, argv, nullptr, nullptr);
}

bool launchEntryReplaced() {
  if (slot(Hook::kUIApplicationMain).replacement.load(std::memory_order_acquire) != nullptr) return true;
  bool replaced = false;
  objc::methodImplementation(objc::UIApplication::shared().cls(),
                             objc::selector(objc::kWorkspaceDidLaunchSelector), &replaced);
  return replaced;
}

int launchThenMain(int argc, char** argv, char** envp) {
  try {
    launchOnce(argc, argv);
  } catch (...) {
    // Out of memory while launching: the program runs unhooked.
  }
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
// libraries (ours included, which loaded the hook libraries).
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
  try {
    if (main != nullptr && launchEntryReplaced()) launchOnce(argc, argv);
  } catch (...) {
    // Out of memory looking the entry up: the launch runs before main.
  }
  return real(main != nullptr ? launchThenMain : nullptr, argc, argv, init, fini, rtldFini, stackEnd);
}
