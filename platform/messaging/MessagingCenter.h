#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/fs/DeviceRoot.h"
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
// be used from any thread and in a forked child. A waiting send has no time
// limit of its own with a live server (the prompt may wait for a person);
// anything else (no socket, refused, a server that dies or answers nonsense)
// gives an empty reply at once. A waiting send made on the very thread whose
// loop serves that service would wait for itself forever: the serving
// process hands such questions to its handler directly instead.
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
  // Starts serving on RunLoop::current(), so it is called from code the loop
  // runs (a perform, a timer, start-up work on the loop). False when the
  // calling thread runs no loop, the service name is not a plain file name, the socket cannot
  // be made, another live server already serves the name, or this centre
  // already serves. A socket file left by a dead server is replaced.
  bool runServerOnCurrentThread();

  // Waiting send: the handler's reply, or an empty dictionary on any failure.
  plist::Dictionary sendMessageAndReceiveReply(const std::string& messageName,
                                               const plist::Dictionary* userInfo) const;
  // One-way send: returns once the message is written (true) or could not
  // be delivered (false). The server sends no reply.
  bool sendMessage(const std::string& messageName, const plist::Dictionary* userInfo) const;

 private:
  // Handlers are shared with the server, which may outlive a call into it.
  struct Handlers {
    std::mutex mu;
    std::map<std::string, Handler, std::less<>> byName;
  };

  std::string serviceName_;
  DeviceRoot root_;
  std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
  std::shared_ptr<messaging::ServiceServer> server_;
};

}  // namespace kst
