#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/messaging/UnixSocket.h"
#include "platform/springboard/ControlServer.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/ShellLibrary.h"
#include "platform/springboard/ShellWindow.h"
#include "platform/springboard/SpringBoardApi.h"
#include "platform/springboard/StandInClasses.h"
#include "tools/launch/Launcher.h"

namespace kst::springboard {

namespace {

constexpr const char* kSpringBoardId = "com.apple.springboard";
constexpr const char* kSpringBoardName = "SpringBoard";
// Set on the re-executed shell, so a substrate that does not start cannot
// make it re-execute forever.
constexpr const char* kReexecVariable = "KST_SPRINGBOARD_REEXEC";
constexpr const char* kUsage =
    "usage: springboard [--root DIR]\n"
    "Runs the shell: SpringBoard's services and the connection prompt.\n";

std::string selfPath() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
}

// Runs this program again under the substrate as SpringBoard; returns only
// when it cannot.
int reexecUnderSubstrate(const std::optional<std::string>& root, char** argv) {
  launch::Options options;
  options.bundleIdentifier = kSpringBoardId;
  options.displayName = kSpringBoardName;
  options.root = root;
  const std::string self = selfPath();
  options.program.push_back(self);
  for (char** a = argv + 1; *a != nullptr; ++a) options.program.emplace_back(*a);
  std::string error;
  auto plan = launch::planLaunch(options, self, &error);
  if (!plan) {
    std::fprintf(stderr, "springboard: %s\n", error.c_str());
    return launch::kCannotStart;
  }
  plan->file = self;
  plan->environment.emplace_back(kReexecVariable, "1");
  return launch::execute(*plan);
}

}  // namespace

int springboardMain(int argc, char** argv) {
  std::optional<std::string> root;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "springboard: unknown argument %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (!RuntimeApi::process().available()) {
    if (std::getenv(kReexecVariable) == nullptr) return reexecUnderSubstrate(root, argv);
    std::fputs("springboard: the substrate did not start; running without the firewall\n", stderr);
  }
  if (root) ::setenv("KESTRIX_ROOT", root->c_str(), 1);

  // Every service's socket goes in the run folder: one another user could
  // write to would let that user take their place.
  if (!messaging::ensureRunFolder(DeviceRoot::process())) {
    std::fprintf(stderr, "springboard: %s is not a folder of this user; serving nothing there\n",
                 messaging::runFolder(DeviceRoot::process()).c_str());
    return 1;
  }
  QApplication app(argc, argv);
  app.setApplicationName(kSpringBoardName);
  QtRunLoop& loop = shellMainLoop();
  loop.attach();

  DeviceState& device = DeviceState::shared();
  device.loadApplications(DeviceRoot::process());
  ShellWindow window;
  device.setObserver([&window] { window.refresh(); });
  window.show();

  // Through the method table: the hook library's replacement marks
  // SpringBoard ready to answer questions. Before the control socket, so
  // that a shell that answers automation has finished launching.
  send<void>(sb::kSpringBoard, sb::kApplicationDidFinishLaunching, static_cast<KstId>(nullptr));
  ControlServer control(DeviceRoot::process(), [&window] { return &window; });
  bool serving = false;
  loop.performAndWait([&] { serving = control.start(); });
  if (!serving) {
    std::fputs("springboard: cannot serve the control socket (is another springboard running?)\n", stderr);
    return 1;
  }
  const int status = app.exec();
  device.setObserver({});
  return status;
}

}  // namespace kst::springboard
