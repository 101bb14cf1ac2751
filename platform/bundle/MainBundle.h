#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kst {

// The environment variables through which kestrix-launch tells a process
// which application it runs as. They are inherited across fork and exec, so
// an application's children are that application too.
inline constexpr const char* kBundleIdentifierVariable = "KESTRIX_BUNDLE_ID";
inline constexpr const char* kDisplayNameVariable = "KESTRIX_DISPLAY_NAME";
inline constexpr const char* kExecutableVariable = "KESTRIX_EXECUTABLE";

// The Info.plist keys of an application bundle.
inline constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kCFBundleDisplayNameKey = "CFBundleDisplayName";
inline constexpr const char* kCFBundleExecutableKey = "CFBundleExecutable";

// The application a process runs as (its main bundle) and the process's
// name. A process started without an identity has no bundle identifier and
// is left alone by the firewall. Immutable after construction; process()
// is built once and never destroyed, so any thread may read it at any time,
// also from hooks running after static destructors.
class MainBundle {
 public:
  // Returns the value of an environment variable, or nullptr.
  using Lookup = std::function<const char*(const char*)>;

  MainBundle() = default;
  // `processName` is the executable's base name; an empty one leaves it
  // unknown. Empty variables count as absent.
  static MainBundle fromEnvironment(const Lookup& getenv, std::string processName);
  // The bundle of this process: the launcher's variables and the base name
  // of the program's argv[0] (of /proc/self/exe when argv[0] is empty), so a
  // program started through a link runs under the link's name.
  static const MainBundle& process();

  const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
  // "CFBundleDisplayName"; empty when the launcher did not tell it.
  const std::string& displayName() const { return displayName_; }
  // "CFBundleExecutable"; empty when the launcher did not tell it.
  const std::string& executable() const { return executable_; }
  const std::string& processName() const { return processName_; }

 private:
  std::optional<std::string> bundleIdentifier_;
  std::string displayName_;
  std::string executable_;
  std::string processName_;
};

// The last path component of `path` ("" for "" and for paths ending in '/').
std::string_view baseName(std::string_view path);

}  // namespace kst
