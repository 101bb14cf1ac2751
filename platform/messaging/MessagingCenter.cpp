#include "platform/messaging/MessagingCenter.h"

#include <pthread.h>

#include "platform/messaging/ClientExchange.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/ServiceServer.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

namespace {

// A send is one exchange that must not be left half done: cancelling the
// thread mid-way would leave a server writing to nobody and, worse, the
// caller's locks in an unknown state. Cancellation waits until it is over.
class NoCancellation {
 public:
  NoCancellation() { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;
  ~NoCancellation() { ::pthread_setcancelstate(old_, nullptr); }

 private:
  int old_ = PTHREAD_CANCEL_ENABLE;
};

std::optional<std::string> requestFrame(const std::string& messageName, const plist::Dictionary* userInfo,
                                        bool wantsReply) {
  messaging::Request request;
  request.name = messageName;
  if (userInfo != nullptr) request.userInfo = *userInfo;
  request.wantsReply = wantsReply;
  return messaging::encodeRequest(request);
}

}  // namespace

std::shared_ptr<MessagingCenter> MessagingCenter::centerNamed(const std::string& serviceName,
                                                              const DeviceRoot& root) {
  return std::make_shared<MessagingCenter>(serviceName, root);
}

MessagingCenter::MessagingCenter(std::string serviceName, DeviceRoot root)
    : serviceName_(std::move(serviceName)), root_(std::move(root)) {}

MessagingCenter::~MessagingCenter() = default;

std::string MessagingCenter::socketPath() const {
  return messaging::runFolder(root_) + "/" + serviceName_;
}

void MessagingCenter::registerForMessageName(const std::string& messageName, Handler handler) {
  std::lock_guard lock(handlers_->mu);
  handlers_->laterByName.erase(messageName);
  handlers_->byName[messageName] = std::move(handler);
}

void MessagingCenter::registerForMessageNameReplyingLater(const std::string& messageName,
                                                          LaterHandler handler) {
  std::lock_guard lock(handlers_->mu);
  handlers_->byName.erase(messageName);
  handlers_->laterByName[messageName] = std::move(handler);
}

bool MessagingCenter::runServerOnCurrentThread() {
  RunLoop* loop = RunLoop::current();
  if (loop == nullptr || server_ != nullptr) return false;
  std::weak_ptr<Handlers> handlers = handlers_;
  server_ = messaging::ServiceServer::start(
      root_, serviceName_, *loop,
      [handlers](const messaging::Request& request,
                 messaging::ServiceServer::Call& call) -> std::optional<plist::Dictionary> {
        Handler handler;
        LaterHandler later;
        if (auto table = handlers.lock()) {
          std::lock_guard lock(table->mu);
          if (auto it = table->byName.find(request.name); it != table->byName.end()) handler = it->second;
          if (auto it = table->laterByName.find(request.name); it != table->laterByName.end())
            later = it->second;
        }
        // Called outside the lock: a handler may register others, or nest.
        const plist::Dictionary* info = request.userInfo ? &*request.userInfo : nullptr;
        if (later) {
          later(request.name, info, call.replyLater());
          return std::nullopt;
        }
        if (!handler) return std::nullopt;
        return handler(request.name, info);
      });
  return server_ != nullptr;
}

plist::Dictionary MessagingCenter::sendMessageAndReceiveReply(const std::string& messageName,
                                                              const plist::Dictionary* userInfo) const {
  return exchange(messageName, userInfo, messaging::ReplyWait::kBounded);
}

plist::Dictionary MessagingCenter::sendQuestionAndReceiveReply(const std::string& messageName,
                                                               const plist::Dictionary* userInfo) const {
  return exchange(messageName, userInfo, messaging::ReplyWait::kWhilePeerLives);
}

plist::Dictionary MessagingCenter::exchange(const std::string& messageName, const plist::Dictionary* userInfo,
                                            messaging::ReplyWait wait) const {
  NoCancellation noCancel;
  try {
    const auto frame = requestFrame(messageName, userInfo, true);
    if (!frame) return {};
    return messaging::exchange(socketPath(), *frame, limits_, wait).reply;
  } catch (...) {
    return {};  // out of memory: read as a service that cannot be reached
  }
}

bool MessagingCenter::sendMessage(const std::string& messageName, const plist::Dictionary* userInfo) const {
  NoCancellation noCancel;
  try {
    const auto frame = requestFrame(messageName, userInfo, false);
    return frame && messaging::sendOneWay(socketPath(), *frame) == messaging::Outcome::kDone;
  } catch (...) {
    return false;
  }
}

}  // namespace kst
