#include "hook/messaging/MessagingRulesRelay.h"

#include "hook/rules/KstMessageNames.h"
#include "platform/messaging/MessagingCenter.h"

namespace kst {

MessagingRulesRelay::MessagingRulesRelay(DeviceRoot root) : root_(std::move(root)) {}

plist::Dictionary MessagingRulesRelay::sendAndWait(std::string_view messageName,
                                                   const plist::Dictionary* userInfo) {
  auto center = MessagingCenter::centerNamed(std::string(msg::kExtendedService), root_);
  return center->sendMessageAndReceiveReply(std::string(messageName), userInfo);
}

}  // namespace kst
