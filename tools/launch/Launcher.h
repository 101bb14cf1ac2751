#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fs/DeviceRoot.h"

namespace kst::launch {

// kestrix-launch: runs a program as an application, under the substrate.
//
//   kestrix-launch BUNDLE_ID [--display-name NAME] [--root DIR] [--verbose] [-- PROGRAM ARGS...]
//
// A BUNDLE_ID that is a desktop file id ("org.example.Web.desktop") and no
// application of the device names an application of the desktop: without
// PROGRAM its Exec line runs, and its Name is the display name.
//
// It puts libsubstrate.so first in LD_PRELOAD, exports the application's
// identity and the device root, and execs the program, so its exit status
// is the program's. Without PROGRAM it runs the application's own
// executable from <root>/Applications/*.app. When nothing can be started it
// says why on stderr and exits with kCannotStart.
inline constexpr int kCannotStart = 127;
inline constexpr const char* kSubstrateName = "libsubstrate.so";
inline constexpr const char* kSubstrateDevicePath = "/usr/lib/libsubstrate.so";
inline constexpr const char* kApplicationsPath = "/Applications";

struct Options {
  std::string bundleIdentifier;
  std::optional<std::string> displayName;
  std::optional<std::string> root;
  std::vector<std::string> program;  // PROGRAM ARGS...; empty: the application's own
  bool verbose = false;              // one line per judged connection on stderr
  // Only the C library's functions are watched: no system-call filter, no
  // supervisor (setuid programs keep their privileges; static programs, Go
  // programs and raw system calls go unseen).
  bool libcOnly = false;
  bool help = false;
};

// The command line after the program name; nothing and a message when it is
// not one.
std::optional<Options> parseArguments(const std::vector<std::string>& args, std::string* error);
std::string usage();

// An application folder of the device: <root>/Applications/<Name>.app.
struct Application {
  std::string folder;
  std::string bundleIdentifier;
  std::string displayName;  // "" when its Info.plist has none
  std::string executable;   // CFBundleExecutable: a file name inside the folder
};

// The application whose Info.plist has this CFBundleIdentifier (the first
// by folder name when several do). Folders without a readable Info.plist
// are passed over.
std::optional<Application> findApplication(const DeviceRoot& root, const std::string& bundleIdentifier);

// LD_PRELOAD with `substrate` first and the other entries of `existing`
// kept, except other copies of the substrate (two would both start).
std::string preloadList(const std::string& substrate, const char* existing);

// Everything exec needs, decided beforehand so it can be tested.
struct Plan {
  std::string file;               // searched in PATH when it has no '/'
  std::vector<std::string> argv;  // argv[0] is the program as given
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;  // nullopt: unset
};

// `launcherPath` is where this program lives: the substrate is looked for
// at ../lib/libsubstrate.so beside it, then in the device root.
std::optional<Plan> planLaunch(const Options& options, const std::string& launcherPath, std::string* error);

// Whether the application's tree runs under the system-call filter: not the
// shell, which answers the questions (a call of its own waiting for its own
// answer would wait for ever), nor the applications the hook library leaves
// alone; they run as with --libc-only.
bool supervised(std::string_view bundleIdentifier);

// Applies the environment and execs; returns kCannotStart (with the message
// written) only when the exec fails.
int execute(const Plan& plan);

// The variable that asks the hook library for a line per judged connection
// on the program's standard error.
inline constexpr const char* kVerboseVariable = "KESTRIX_VERBOSE";

// The whole tool.
int launcherMain(int argc, char** argv);

}  // namespace kst::launch
