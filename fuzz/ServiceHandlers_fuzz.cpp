// Feeds every message handler of SpringBoard's services an argument
// dictionary read from the input, as the service would after decoding a
// frame: the first byte picks the message (and whether it comes without an
// argument), the rest is the binary property list of the argument. The
// device's files start empty in memory; the prompt is a stand-in that
// answers at once with the host it was shown.
//
// After a rule write the file it wrote must read back as a dictionary
// holding the marker, and the rules services must answer from it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "hook/messaging/KstDarwinMessage.h"
#include "hook/messaging/KstMessaging.h"
#include "hook/messaging/KstPopUp.h"
#include "hook/messaging/MessagingSBS.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstFlags.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstHostSpringBoard.h"
#include "platform/fs/Utf16File.h"
#include "platform/plist/BinaryPlist.h"
#include "platform/plist/PlistFile.h"
#include "platform/resolver/Resolver.h"

namespace {

using namespace kst;

// Shows nothing: answers "allow once" for the host it was asked about.
class EchoPopUp final : public KstPopUp {
 public:
  KstPopUpAnswer createAViewWithPort(const std::optional<std::string>&,
                                     const std::optional<std::string>& host, std::optional<std::int64_t>,
                                     const std::optional<std::string>&, std::optional<bool>,
                                     const std::optional<std::string>&,
                                     const std::optional<std::string>&) override {
    KstPopUpAnswer answer;
    answer.host = host;
    return answer;
  }
};

// The host-name map never reaches a network here.
class NoResolver final : public Resolver {
 public:
  std::optional<Addresses> resolve(std::string_view, AddressFamily) override { return std::nullopt; }
  std::optional<std::string> reverseLookup(const sockaddr*, socklen_t) override { return std::nullopt; }
};

constexpr std::string_view kMessages[] = {
    msg::kMessageThatHasInfo,
    msg::kGlobalMessageThatHasInfo,
    msg::kStdRules,
    msg::kGlobalRules,
    msg::kMessageForWindow,
    msg::kMessageForWindowUDP,
    msg::kLogMessage,
    msg::kIsShowingWindow,
    msg::kGetDeviceOrientation,
    msg::kHostStuffSend,
    msg::kHostStuffGet,
    "no such message",
};

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void checkWrittenRules(FileSystem& fs, const DeviceRoot& root, std::string_view devicePath) {
  const auto written = plist::readDictionaryFile(fs, root.path(devicePath));
  if (!written) return;  // the handler stored nothing
  require(written->contains(files::kMarkerKey), "a rule write stored a file without the marker");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = [] {
    setKstPopUpFactory([] { return std::make_unique<EchoPopUp>(); });
    return true;
  }();
  (void)installed;

  fuzz::Input input(data, size);
  const std::uint8_t selector = input.byte();
  const std::string_view name = kMessages[(selector & 0x7f) % std::size(kMessages)];
  std::optional<plist::Dictionary> argument;
  if ((selector & 0x80) == 0) {
    std::optional<plist::Value> value = plist::readBinary(input.rest());
    if (!value || value->asDictionary() == nullptr) return 0;  // the frame decoder refuses those
    argument = std::move(*value->asDictionary());
  }
  const plist::Dictionary* userInfo = argument ? &*argument : nullptr;

  fuzz::MemoryFileSystem fs;
  KstFlags flags;
  KstServiceEnv env;
  env.root = DeviceRoot("/device");
  env.fs = &fs;
  env.flags = &flags;
  env.deviceOrientation = [] { return 1; };

  KstMessaging writes(env);
  KstDarwinMessage rules(env);
  MessagingSBS window(env);
  MessagingSBSUDP windowUDP(env);

  if (name == msg::kHostStuffSend || name == msg::kHostStuffGet) {
    static NoResolver resolver;
    KstHostMapEnv mapEnv;
    mapEnv.resolver = &resolver;
    mapEnv.flags = &flags;
    KstHostSpringBoard hosts(mapEnv, env.root);
    hosts.handleMessageNamedSend(std::string(name), userInfo);
    (void)hosts.handleMessageNamed(std::string(name), userInfo);
    return 0;
  }

  (void)writes.handleMessageNamed(name, userInfo);
  (void)rules.handleMessageNamed(name, userInfo);
  (void)window.handleMessageNamed(name, userInfo);
  (void)windowUDP.handleMessageNamed(name, userInfo);

  checkWrittenRules(fs, env.root, files::kRulesPath);
  checkWrittenRules(fs, env.root, files::kGlobalRulesPath);
  // Whatever was written is served back.
  if (name == msg::kMessageThatHasInfo && userInfo != nullptr && !userInfo->empty()) {
    const plist::Dictionary ask{{std::string(msg::kBundleIdKey), userInfo->entries().front().first}};
    (void)rules.handleMessageNamed(msg::kStdRules, &ask);
  }
  (void)rules.handleMessageNamed(msg::kGlobalRules, nullptr);
  // A logged line leaves a log that still reads as text.
  if (name == msg::kLogMessage && fs.exists(env.root.path(files::kLogPath)))
    require(utf16::readFile(fs, env.root.path(files::kLogPath)).has_value(),
            "the log no longer reads as text");
  return 0;
}
