#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/springboard/ControlServer.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/ShellLibrary.h"
#include "platform/springboard/ShellTray.h"
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
    "usage: springboard [--root DIR] [--device-window]\n"
    "Runs the shell: SpringBoard's services, the connection prompt and a status icon.\n"
    "  --device-window  also shows the stand-in device's window (for development)\n";
constexpr const char* kSettingsProgram = "KestrixPanel";

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

// The settings application beside this program (the build tree and an
// installation both put them together), else the one on PATH.
QString settingsProgram() {
  const QFileInfo self(QString::fromStdString(selfPath()));
  const QFileInfo beside(self.dir(), kSettingsProgram);
  return beside.isExecutable() ? beside.filePath() : QString(kSettingsProgram);
}

// Set when the toolkit reports the display connection broken; it ends the
// process right after, through exit().
std::atomic<bool> gDisplayLost{false};
QtMessageHandler gToolkitHandler = nullptr;

void noteToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(QLatin1String("The X11 connection broke"))) gDisplayLost.store(true);
  if (gToolkitHandler != nullptr) gToolkitHandler(type, context, message);
}

void sayDisplayLost() {
  if (!gDisplayLost.load()) return;
  std::fputs(
      "springboard: the display went away (its X server ended or the connection broke); the shell ends, and "
      "programs go on as they do without it\n",
      stderr);
}

// The toolkit ends the process on its own when the display goes; the log
// says so in the shell's words, once, as it ends.
void watchForLostDisplay() {
  gToolkitHandler = qInstallMessageHandler(noteToolkitMessage);
  std::atexit(sayDisplayLost);
}

}  // namespace

int springboardMain(int argc, char** argv) {
  std::optional<std::string> root;
  bool deviceWindow = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--device-window") {
      deviceWindow = true;
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
  watchForLostDisplay();
  QApplication app(argc, argv);
  app.setApplicationName(kSpringBoardName);
  // The shell has no window of its own; a prompt closing must not end it.
  app.setQuitOnLastWindowClosed(false);
  QtRunLoop& loop = shellMainLoop();
  loop.attach();

  DeviceState& device = DeviceState::shared();
  device.loadApplications(DeviceRoot::process());
  // The device window is the stand-in's inside view, for development only;
  // made always, as screenshots fall back to it.
  ShellWindow window;
  ShellTray tray(PauseSwitch(DeviceRoot::process(), std::string(files::kDisabledMarkerPath),
                             std::string(msg::kReloadBothNotification)),
                 settingsProgram());
  device.setObserver([&window, &tray] {
    window.refresh();
    tray.refresh();
  });
  if (deviceWindow) window.show();

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
