#include "hook/store/KstHostSpringBoard.h"

#include "hook/rules/KstMessageNames.h"

namespace kst {

KstHostSpringBoard::KstHostSpringBoard(KstHostMapEnv env, DeviceRoot root)
    : root_(std::move(root)), map_(env) {}

KstHostSpringBoard::~KstHostSpringBoard() = default;

bool KstHostSpringBoard::initSBSMessaging() {
  if (messaging_ != nullptr) return false;
  // The bootstrap permission of the original platform has no counterpart:
  // the service's socket folder admits this user only.
  auto center = MessagingCenter::centerNamed(std::string(msg::kHostStuffService), root_);
  center->registerForMessageName(
      std::string(msg::kHostStuffSend),
      [this](const std::string& name, const plist::Dictionary* userInfo) -> std::optional<plist::Dictionary> {
        handleMessageNamedSend(name, userInfo);
        return std::nullopt;
      });
  center->registerForMessageName(
      std::string(msg::kHostStuffGet),
      [this](const std::string& name, const plist::Dictionary* userInfo) -> std::optional<plist::Dictionary> {
        return handleMessageNamed(name, userInfo);
      });
  if (!center->runServerOnCurrentThread()) return false;
  messaging_ = std::move(center);
  // Every process reads the map's newest names from a shared table, with no
  // round trip on its connect path; "Get" stays for those who ask.
  if (std::optional<HostNameTableWriter> table =
          HostNameTableWriter::create(root_.path(kHostNameTablePath))) {
    map_.publishTo(std::make_shared<HostNameTableWriter>(std::move(*table)));
  }
  return true;
}

void KstHostSpringBoard::handleMessageNamedSend(const std::string& messageName,
                                                const plist::Dictionary* userInfo) {
  if (messageName != msg::kHostStuffSend || userInfo == nullptr) return;
  if (const std::string* host = userInfo->string(msg::kHostStuffHostKey)) map_.doHostStuff(*host);
}

plist::Dictionary KstHostSpringBoard::handleMessageNamed(const std::string& messageName,
                                                         const plist::Dictionary* userInfo) {
  if (messageName != msg::kHostStuffGet || userInfo == nullptr) return {};
  const std::string* address = userInfo->string(msg::kHostStuffIPKey);
  if (address == nullptr) return {};
  return map_.getIPDictionary(*address);
}

}  // namespace kst
