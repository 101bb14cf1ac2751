#include "hook/store/KstHostClient.h"

#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstHostMap.h"
#include "platform/messaging/MessagingCenter.h"

namespace kst {

namespace {

bool isOwnLookup(std::string_view name) {
  return name == kSyntheticFontName || name == "conversation" || name == "contact";
}

}  // namespace

void KstHostClient::doHostStuff(const char* name) const {
  if (name != nullptr) doHostStuff(std::string_view(name));
}

void KstHostClient::doHostStuff(std::string_view name) const {
  if (isOwnLookup(name)) return;
  const plist::Dictionary info{{std::string(msg::kHostStuffHostKey), plist::Value(name)}};
  MessagingCenter::centerNamed(std::string(msg::kHostStuffService), root_)
      ->sendMessage(std::string(msg::kHostStuffSend), &info);
}

std::optional<plist::Dictionary> KstHostClient::getIPDictionary(const char* address) const {
  if (address == nullptr) return std::nullopt;
  return getIPDictionary(std::string_view(address));
}

std::optional<plist::Dictionary> KstHostClient::getIPDictionary(std::string_view address) const {
  const plist::Dictionary info{{std::string(msg::kHostStuffIPKey), plist::Value(address)}};
  return MessagingCenter::centerNamed(std::string(msg::kHostStuffService), root_)
      ->sendMessageAndReceiveReply(std::string(msg::kHostStuffGet), &info);
}

std::optional<std::string> lastHostName(const plist::Dictionary& reply, std::string_view address) {
  const plist::Array* names = reply.array(address);
  if (names == nullptr || names->empty()) return std::nullopt;
  const std::string* last = names->back().asString();
  if (last == nullptr) return std::nullopt;
  return *last;
}

}  // namespace kst
