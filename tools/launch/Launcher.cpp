#include "tools/launch/Launcher.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "hook/intercept/LeftAlone.h"
#include "platform/bundle/DesktopFile.h"
#include "platform/bundle/MainBundle.h"
#include "platform/plist/PlistFile.h"
#include "tools/launch/SupervisedRun.h"

namespace kst::launch {

namespace {

constexpr const char* kRootVariable = "KESTRIX_ROOT";
constexpr const char* kPreloadVariable = "LD_PRELOAD";

std::string absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

bool isFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// A CFBundleExecutable names a file inside the bundle folder, nothing else.
bool usableExecutableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

constexpr std::string_view kSpringBoardId = "com.apple.springboard";

}  // namespace

bool supervised(std::string_view bundleIdentifier) {
  return bundleIdentifier != kSpringBoardId && !leftAloneById(bundleIdentifier, false);
}

std::string usage() {
  return "usage: kestrix-launch BUNDLE_ID [--display-name NAME] [--root DIR] [--verbose] [--libc-only] [-- "
         "PROGRAM ARGS...]\n"
         "       kestrix-launch DESKTOP_FILE_ID.desktop [--root DIR] [--verbose] [--libc-only]\n";
}

std::optional<Options> parseArguments(const std::vector<std::string>& args, std::string* error) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      options.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (options.program.empty() || options.program.front().empty()) {
        *error = "no program after '--'";
        return std::nullopt;
      }
      break;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
      continue;
    }
    if (arg == "--libc-only") {
      options.libcOnly = true;
      continue;
    }
    std::optional<std::string>* target = nullptr;
    std::string_view name;
    if (arg.starts_with("--display-name")) {
      target = &options.displayName;
      name = "--display-name";
    } else if (arg.starts_with("--root")) {
      target = &options.root;
      name = "--root";
    }
    if (target != nullptr) {
      if (arg.size() > name.size() && arg[name.size()] == '=') {
        *target = arg.substr(name.size() + 1);
      } else if (arg.size() == name.size() && i + 1 < args.size()) {
        *target = args[++i];
      } else {
        *error = arg.size() == name.size() ? std::string(name) + " needs a value" : "unknown option " + arg;
        return std::nullopt;
      }
      continue;
    }
    if (arg.starts_with("-")) {
      *error = "unknown option " + arg;
      return std::nullopt;
    }
    if (!options.bundleIdentifier.empty()) {
      *error = "unexpected argument " + arg + " (the program goes after '--')";
      return std::nullopt;
    }
    options.bundleIdentifier = arg;
  }
  if (options.bundleIdentifier.empty()) {
    *error = "no bundle identifier";
    return std::nullopt;
  }
  if (options.root && options.root->empty()) {
    *error = "--root needs a folder";
    return std::nullopt;
  }
  return options;
}

std::optional<Application> findApplication(const DeviceRoot& root, const std::string& bundleIdentifier) {
  std::error_code ec;
  std::vector<std::filesystem::path> folders;
  std::filesystem::directory_iterator it(root.path(kApplicationsPath), ec);
  if (ec) return std::nullopt;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code typeError;
    if (it->path().extension() == ".app" && std::filesystem::is_directory(it->path(), typeError)) {
      folders.push_back(it->path());
    }
  }
  std::sort(folders.begin(), folders.end());
  for (const auto& folder : folders) {
    const std::optional<plist::Dictionary> info =
        plist::readDictionaryFile(FileSystem::real(), (folder / "Info.plist").string());
    if (!info) continue;
    const std::string* id = info->string(kCFBundleIdentifierKey);
    if (id == nullptr || *id != bundleIdentifier) continue;
    Application app;
    app.folder = folder.string();
    app.bundleIdentifier = *id;
    if (const std::string* name = info->string(kCFBundleDisplayNameKey)) app.displayName = *name;
    if (const std::string* exe = info->string(kCFBundleExecutableKey)) app.executable = *exe;
    return app;
  }
  return std::nullopt;
}

std::string preloadList(const std::string& substrate, const char* existing) {
  std::string list = substrate;
  if (existing == nullptr) return list;
  // ld.so separates the entries with spaces or colons.
  std::string_view rest = existing;
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of(" :");
    const std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (entry.empty() || baseName(entry) == kSubstrateName) continue;
    list += ' ';
    list += entry;
  }
  return list;
}

std::optional<Plan> planLaunch(const Options& options, const std::string& launcherPath, std::string* error) {
  const std::string rootDir = absolute(options.root ? *options.root : DeviceRoot::defaultDir());
  const DeviceRoot root(rootDir);

  // Beside the launcher: lib/ of a build, lib/kestrix/ of a package; else
  // the device root's copy.
  const std::filesystem::path prefix = std::filesystem::path(launcherPath).parent_path().parent_path();
  std::string substrate = (prefix / "lib" / kSubstrateName).string();
  if (!isFile(substrate)) substrate = (prefix / "lib" / "kestrix" / kSubstrateName).string();
  if (!isFile(substrate)) substrate = root.path(kSubstrateDevicePath);
  if (!isFile(substrate)) {
    *error =
        std::string("cannot find ") + kSubstrateName + " beside the launcher or in " + rootDir + "/usr/lib";
    return std::nullopt;
  }

  const std::optional<Application> app = findApplication(root, options.bundleIdentifier);
  // An application of the desktop, when the device has none of that name.
  std::optional<DesktopFile> desktop;
  if (!app && isDesktopFileId(options.bundleIdentifier)) {
    std::string lookupError;
    desktop = findDesktopApplication(options.bundleIdentifier, &lookupError);
    if (!desktop && options.program.empty()) {
      *error = lookupError;
      return std::nullopt;
    }
  }
  Plan plan;
  std::string executable;
  if (options.program.empty() && desktop) {
    const std::optional<std::string> exec = desktop->string("Exec");
    if (!exec || exec->empty()) {
      *error = "the desktop file " + desktop->path() + " has no Exec line";
      return std::nullopt;
    }
    std::string execError;
    std::optional<std::vector<std::string>> argv = expandExec(*desktop, *exec, {}, &execError);
    if (!argv) {
      *error = "cannot run the Exec line of " + desktop->path() + ": " + execError;
      return std::nullopt;
    }
    plan.file = argv->front();
    plan.argv = std::move(*argv);
    executable = std::string(baseName(plan.file));
  } else if (options.program.empty()) {
    if (!app) {
      *error = "no application with bundle identifier " + options.bundleIdentifier + " in " +
               root.path(kApplicationsPath);
      return std::nullopt;
    }
    if (!usableExecutableName(app->executable)) {
      *error = "the application " + app->folder + " has no usable CFBundleExecutable";
      return std::nullopt;
    }
    plan.file = app->folder + "/" + app->executable;
    plan.argv = {plan.file};
    executable = app->executable;
  } else {
    plan.file = options.program.front();
    plan.argv = options.program;
    executable = std::string(baseName(plan.file));
  }

  std::optional<std::string> displayName = options.displayName;
  if (!displayName && app && !app->displayName.empty()) displayName = app->displayName;
  if (!displayName && desktop) {
    if (std::optional<std::string> name = desktop->string("Name"); name && !name->empty()) displayName = name;
  }

  // Every variable of the identity is set or cleared, so nothing of an
  // outer application's identity leaks into this one.
  plan.environment = {
      {kPreloadVariable, preloadList(absolute(substrate), std::getenv(kPreloadVariable))},
      {kRootVariable, rootDir},
      {kBundleIdentifierVariable, options.bundleIdentifier},
      {kDisplayNameVariable, displayName},
      {kExecutableVariable, executable.empty() ? std::nullopt : std::optional<std::string>(executable)},
  };
  // Left as it is without --verbose, so KESTRIX_VERBOSE=1 in the
  // environment works as well.
  if (options.verbose) plan.environment.emplace_back(kVerboseVariable, "1");
  return plan;
}

int execute(const Plan& plan) {
  for (const auto& [name, value] : plan.environment) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::vector<char*> argv;
  argv.reserve(plan.argv.size() + 1);
  for (const std::string& arg : plan.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execvp(plan.file.c_str(), argv.data());
  const int err = errno;
  std::fprintf(stderr, "kestrix-launch: cannot run %s: %s\n", plan.file.c_str(), std::strerror(err));
  return kCannotStart;
}

int launcherMain(int argc, char** argv) {
  std::string error;
  const std::optional<Options> options =
      parseArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "kestrix-launch: %s\n%s", error.c_str(), usage().c_str());
    return kCannotStart;
  }
  if (options->help) {
    std::fputs(usage().c_str(), stdout);
    return 0;
  }
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string launcherPath = !ec ? self.string() : (argc > 0 && argv[0] != nullptr ? argv[0] : "");
  const std::optional<Plan> plan = planLaunch(*options, launcherPath, &error);
  if (!plan) {
    std::fprintf(stderr, "kestrix-launch: %s\n", error.c_str());
    return kCannotStart;
  }
  return options->libcOnly || !supervised(options->bundleIdentifier) ? execute(*plan) : runSupervised(*plan);
}

}  // namespace kst::launch
