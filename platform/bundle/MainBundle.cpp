#include "platform/bundle/MainBundle.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>

namespace kst {

std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

MainBundle MainBundle::fromEnvironment(const Lookup& getenv, std::string processName) {
  auto read = [&](const char* name) -> std::string {
    const char* value = getenv(name);
    return value != nullptr ? std::string(value) : std::string();
  };
  MainBundle bundle;
  if (std::string id = read(kBundleIdentifierVariable); !id.empty()) bundle.bundleIdentifier_ = std::move(id);
  bundle.displayName_ = read(kDisplayNameVariable);
  bundle.executable_ = read(kExecutableVariable);
  bundle.processName_ = std::move(processName);
  return bundle;
}

namespace {

std::string ownProcessName() {
  // Set by the C library from argv[0] before any constructor runs.
  if (program_invocation_name != nullptr) {
    std::string_view name = baseName(program_invocation_name);
    if (!name.empty()) return std::string(name);
  }
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return std::string();
  return std::string(baseName(std::string_view(exe, static_cast<std::size_t>(n))));
}

}  // namespace

const MainBundle& MainBundle::process() {
  // Never destroyed: hooks may ask after static destructors have run.
  static const MainBundle* const bundle =
      new MainBundle(fromEnvironment([](const char* name) { return std::getenv(name); }, ownProcessName()));
  return *bundle;
}

}  // namespace kst
