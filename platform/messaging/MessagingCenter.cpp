#include "platform/messaging/MessagingCenter.h"

#include <pthread.h>

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

// Connects and writes one request; invalid when that fails.
messaging::UniqueFd deliver(const std::string& path, const std::string& messageName,
                            const plist::Dictionary* userInfo, bool wantsReply) {
  messaging::Request request;
  request.name = messageName;
  if (userInfo != nullptr) request.userInfo = *userInfo;
  request.wantsReply = wantsReply;
  const auto frame = messaging::encodeRequest(request);
  if (!frame) return {};
  messaging::UniqueFd fd = messaging::connectStream(path);
  if (!fd.valid() || !messaging::writeAll(fd.get(), *frame)) return {};
  return fd;
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
  handlers_->byName[messageName] = std::move(handler);
}

bool MessagingCenter::runServerOnCurrentThread() {
  RunLoop* loop = RunLoop::current();
  if (loop == nullptr || server_ != nullptr) return false;
  std::weak_ptr<Handlers> handlers = handlers_;
  server_ = messaging::ServiceServer::start(
      root_, serviceName_, *loop,
      [handlers](const messaging::Request& request) -> std::optional<plist::Dictionary> {
        Handler handler;
        if (auto table = handlers.lock()) {
          std::lock_guard lock(table->mu);
          if (auto it = table->byName.find(request.name); it != table->byName.end()) handler = it->second;
        }
        // Called outside the lock: a handler may register others, or nest.
        if (!handler) return std::nullopt;
        return handler(request.name, request.userInfo ? &*request.userInfo : nullptr);
      });
  return server_ != nullptr;
}

plist::Dictionary MessagingCenter::sendMessageAndReceiveReply(const std::string& messageName,
                                                              const plist::Dictionary* userInfo) const {
  NoCancellation noCancel;
  const messaging::UniqueFd fd = deliver(socketPath(), messageName, userInfo, true);
  if (!fd.valid()) return {};
  std::string header(messaging::kFrameHeaderSize, '\0');
  if (!messaging::readExact(fd.get(), header.data(), header.size())) return {};
  const auto length = messaging::bodyLength(header);
  if (!length) return {};
  std::string body(*length, '\0');
  if (!messaging::readExact(fd.get(), body.data(), body.size())) return {};
  return messaging::decodeReply(body).value_or(plist::Dictionary());
}

bool MessagingCenter::sendMessage(const std::string& messageName, const plist::Dictionary* userInfo) const {
  NoCancellation noCancel;
  return deliver(socketPath(), messageName, userInfo, false).valid();
}

}  // namespace kst
