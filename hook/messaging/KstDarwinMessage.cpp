#include "hook/messaging/KstDarwinMessage.h"

#include "hook/messaging/MessageValues.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/plist/PlistFile.h"

namespace kst {

namespace {

// Copies `from[fromKey]` to `to[toKey]` when present.
void copyValue(const plist::Dictionary& from, std::string_view fromKey, plist::Dictionary& to,
               std::string_view toKey) {
  if (const plist::Value* v = from.find(fromKey)) to.set(std::string(toKey), *v);
}

// Copies a rule array; a value that is not an array counts as missing, as
// every reader of the reply would read it. The copy shares the array, so a
// reply that also holds the whole file carries each list once.
void copyArray(const plist::Dictionary& from, std::string_view fromKey, plist::Dictionary& to,
               std::string_view toKey) {
  if (const plist::Value* v = from.find(fromKey); v != nullptr && v->asArray() != nullptr)
    to.set(std::string(toKey), *v);
}

}  // namespace

KstDarwinMessage::KstDarwinMessage(KstServiceEnv env) : env_(std::move(env)) {}

bool KstDarwinMessage::initMessagingCenter() {
  center_ = startService(env_, msg::kExtendedService, {msg::kStdRules, msg::kGlobalRules},
                         [this](const std::string& name, const plist::Dictionary* userInfo) {
                           return handleMessageNamed(name, userInfo);
                         });
  return center_ != nullptr;
}

std::optional<plist::Dictionary> KstDarwinMessage::handleMessageNamed(std::string_view name,
                                                                      const plist::Dictionary* userInfo) {
  if (name == msg::kStdRules) return stdRulesReply(userInfo);
  if (name == msg::kGlobalRules) return globalRulesReply();
  return std::nullopt;
}

plist::Dictionary KstDarwinMessage::stdRulesReply(const plist::Dictionary* userInfo) const {
  const std::optional<plist::Dictionary> rules =
      plist::readDictionaryFile(*env_.fs, env_.root.path(files::kRulesPath));
  // A missing or mistyped "bI" finds no entry, like an unknown application.
  const std::optional<std::string> bundleId = msg::stringValue(userInfo, msg::kBundleIdKey);
  const plist::Dictionary* entry = rules && bundleId ? rules->dictionary(*bundleId) : nullptr;

  plist::Dictionary reply;
  if (entry != nullptr) {
    reply.set(std::string(msg::kMutableDicKey), *entry);
    copyValue(*entry, files::kAllowEverythingKey, reply, msg::kAllowEverythingKey);
    copyValue(*entry, files::kBlockSpecificWiFiKey, reply, msg::kBlockSpecificWifiKey);
    copyValue(*entry, files::kStillUseRulesKey, reply, msg::kShouldUseDetailedRulesKey);
    copyArray(*entry, files::kAllowKey, reply, msg::kAllowArrayKey);
    copyArray(*entry, files::kDenyKey, reply, msg::kDenyArrayKey);
    // A stored value of a type without a boolean value counts as missing.
    if (const std::optional<bool> enabled = plist::boolValueIfAny(entry->find(files::kEnabledKey)))
      reply.set(std::string(msg::kEnabledKey), *enabled);
  } else {
    reply.set(std::string(msg::kEmptyKey), std::string(msg::kEmptyValue));
  }

  if (const std::optional<plist::Dictionary> white =
          plist::readDictionaryFile(*env_.fs, env_.root.path(files::kWhiteListPath))) {
    copyArray(*white, files::kWhiteListKey, reply, msg::kWhiteListArrayKey);
  }
  return reply;
}

plist::Dictionary KstDarwinMessage::globalRulesReply() const {
  std::optional<plist::Dictionary> global =
      plist::readDictionaryFile(*env_.fs, env_.root.path(files::kGlobalRulesPath));
  if (!global) return plist::Dictionary{{std::string(msg::kEmptyKey), std::string(msg::kEmptyValue)}};

  // The whole file goes first; it is moved in at the end, after the copies
  // of its arrays (which share the file's lists).
  plist::Dictionary reply;
  reply.appendUnchecked(std::string(msg::kGlobalRulesDicKey), plist::Value());
  copyArray(*global, files::kGlobalAllowKey, reply, msg::kGlobalAllowArrayKey);
  copyArray(*global, files::kGlobalDenyKey, reply, msg::kGlobalDenyArrayKey);
  copyValue(*global, files::kRespectGlobalKey, reply, msg::kRespectGlobalKey);
  copyValue(*global, files::kLogKey, reply, msg::kLoggingKey);
  const std::string* theme = global->string(files::kThemeKey);
  reply.set(std::string(msg::kThemeNumberKey), theme != nullptr && *theme == files::kBlueTheme);
  copyValue(*global, files::kBlockNonWiFiKey, reply, msg::kBlockNonWiFiKey);
  reply.set(std::string(msg::kAdvancedHostnameResolutionKey),
            plist::boolValue(global->find(files::kAdvancedHostnameResolutionKey)));
  *reply.find(msg::kGlobalRulesDicKey) = plist::Value(std::move(*global));
  return reply;
}

}  // namespace kst
