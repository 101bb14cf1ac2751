#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/fs/DeviceRoot.h"
#include "platform/messaging/ClientExchange.h"
#include "platform/messaging/PendingReply.h"
#include "platform/plist/PlistValue.h"

namespace kst {

namespace messaging {
class ServiceServer;
}

// A named request/reply service: the stand-in for the original platform's
// distributed messaging centre. Each service is a Unix stream socket
// "<root>/var/run/kestrix/<service name>"; a message travels on a connection
// of its own (see Frame.h for the bytes).
//
// Client side: every call connects anew and keeps nothing, so a centre may
// be used from any thread and in a forked child. Every wait is bounded (see
// ClientExchange.h for the limits and the back-off after a time-out), except
// the reply to a question put to a person, which may take as long as the
// service's end of the connection lives. Any failure (no socket, refused, a
// limit run out, a server that dies or answers nonsense, memory exhausted)
// gives an empty reply; one-way sends never block. A waiting send made on
// the very thread whose loop serves that service would wait for itself
// until its limit: the serving process hands such questions to its handler
// directly instead.
//
// Server side: runServerOnCurrentThread() serves on the run loop of the
// calling thread. Handlers run on that loop, one at a time; a handler may
// run the loop in slices while it waits, and messages arriving meanwhile,
// to this or any other service on the loop, are served to completion in
// between. Register handlers before serving, or on the loop's thread. The
// socket is removed again when the centre is destroyed.
class MessagingCenter {
 public:
  // Returns the reply, or nothing for an empty reply.
  using Handler = std::function<std::optional<plist::Dictionary>(const std::string& messageName,
                                                                 const plist::Dictionary* userInfo)>;

  // Keeps `reply` and answers through it later (a question that waits its
  // turn). `reply` is null for a one-way message: nobody waits for it.
  using LaterHandler = std::function<void(const std::string& messageName, const plist::Dictionary* userInfo,
                                          std::shared_ptr<messaging::PendingReply> reply)>;

  // A fresh centre for the service; clients obtain one for every send.
  static std::shared_ptr<MessagingCenter> centerNamed(const std::string& serviceName,
                                                      const DeviceRoot& root = DeviceRoot::process());

  MessagingCenter(std::string serviceName, DeviceRoot root);
  MessagingCenter(const MessagingCenter&) = delete;
  MessagingCenter& operator=(const MessagingCenter&) = delete;
  ~MessagingCenter();

  const std::string& serviceName() const { return serviceName_; }
  // The socket file of the service.
  std::string socketPath() const;

  // Binds `messageName` to `handler`, replacing an earlier one. Messages
  // without a handler are answered with an empty reply.
  void registerForMessageName(const std::string& messageName, Handler handler);
  // Binds `messageName` to a handler that replies later, replacing an
  // earlier handler of either kind.
  void registerForMessageNameReplyingLater(const std::string& messageName, LaterHandler handler);
  // Starts serving on RunLoop::current(), so it is called from code the loop
  // runs (a perform, a timer, start-up work on the loop). False when the
  // calling thread runs no loop, the service name is not a plain file name, the socket cannot
  // be made, another live server already serves the name, or this centre
  // already serves. A socket file left by a dead server is replaced.
  bool runServerOnCurrentThread();

  // Waiting send: the handler's reply, or an empty dictionary on any failure
  // or when a limit runs out.
  plist::Dictionary sendMessageAndReceiveReply(const std::string& messageName,
                                               const plist::Dictionary* userInfo) const;
  // Waiting send of a question that a person answers: connecting, sending
  // and the service's reading of it are bounded, the reply is awaited for as
  // long as the service's end of the connection lives.
  plist::Dictionary sendQuestionAndReceiveReply(const std::string& messageName,
                                                const plist::Dictionary* userInfo) const;
  // One-way send: never blocks; true once the whole message is handed to the
  // socket, false when it was dropped (service absent, backed off, backlog
  // full). The server sends no reply.
  bool sendMessage(const std::string& messageName, const plist::Dictionary* userInfo) const;

  // The limits of this centre's sends (tests shorten them).
  void setLimits(const messaging::ExchangeLimits& limits) { limits_ = limits; }

 private:
  // Handlers are shared with the server, which may outlive a call into it.
  struct Handlers {
    std::mutex mu;
    std::map<std::string, Handler, std::less<>> byName;
    std::map<std::string, LaterHandler, std::less<>> laterByName;
  };

  plist::Dictionary exchange(const std::string& messageName, const plist::Dictionary* userInfo,
                             messaging::ReplyWait wait) const;

  std::string serviceName_;
  DeviceRoot root_;
  std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
  std::shared_ptr<messaging::ServiceServer> server_;
  messaging::ExchangeLimits limits_ = messaging::kDefaultExchangeLimits;
};

}  // namespace kst
