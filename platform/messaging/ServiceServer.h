#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/fs/DeviceRoot.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/plist/PlistValue.h"
#include "platform/runloop/RunLoop.h"

namespace kst::messaging {

// The listening side of one service: its socket, the connections being read
// or answered, and their run-loop sources. Everything runs on the loop the
// server was started on; sockets are non-blocking, so a slow or stalled peer
// holds up nothing but its own connection, which is closed after
// kIdleTimeout without progress. Requests are read whole, then dispatched
// (the dispatch may nest runs of the loop), then the reply is written.
//
// Owned by its MessagingCenter through a shared pointer; loop callbacks hold
// only weak references, so the server may be destroyed on any thread.
class ServiceServer : public std::enable_shared_from_this<ServiceServer> {
 public:
  using Dispatch = std::function<std::optional<plist::Dictionary>(const Request& request)>;

  // A connection that neither delivers nor takes a byte for this long is
  // closed.
  static constexpr Seconds kIdleTimeout{10.0};
  // Beyond this many connections at once, new ones wait in the backlog.
  static constexpr std::size_t kMaxConnections = 256;

  // Binds "<root>/var/run/kestrix/<serviceName>" and starts serving on
  // `loop`. Nothing when the name is not a plain file name, another live
  // server owns the socket, or the socket cannot be made.
  static std::shared_ptr<ServiceServer> start(const DeviceRoot& root, const std::string& serviceName,
                                              RunLoop& loop, Dispatch dispatch);
  ServiceServer(const ServiceServer&) = delete;
  ServiceServer& operator=(const ServiceServer&) = delete;
  ~ServiceServer();

 private:
  struct Connection {
    UniqueFd fd;
    std::optional<RunLoop::SourceId> source;
    FrameReader reader;
    bool dispatching = false;  // the handler runs; no time limit then
    std::string reply;         // the whole reply frame
    std::size_t sent = 0;      // how much of it is written
    Clock::TimePoint lastProgress;
  };

  ServiceServer(RunLoop& loop, Dispatch dispatch);
  bool bind(const std::string& path);
  void listenAgain();
  void stopListening();
  void pauseAccepting();
  void onListenReadable();
  void onConnectionReadable(std::uint64_t id);
  void answer(std::uint64_t id, const Request& request);
  void flush(std::uint64_t id);
  void sweep();
  void retryWrites();
  void updateTimers();
  void close(std::uint64_t id);

  RunLoop& loop_;
  Dispatch dispatch_;
  UniqueFd listen_;
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  std::optional<RunLoop::SourceId> listenSource_;
  bool atCapacity_ = false;  // listening stopped until a connection closes
  std::optional<RunLoop::TimerId> sweepTimer_;
  std::optional<RunLoop::TimerId> retryTimer_;
  std::uint64_t nextId_ = 1;
  std::map<std::uint64_t, Connection> connections_;
};

}  // namespace kst::messaging
