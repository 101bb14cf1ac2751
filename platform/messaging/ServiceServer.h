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
#include "platform/messaging/PendingReply.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/plist/PlistValue.h"
#include "platform/runloop/RunLoop.h"

namespace kst::messaging {

// The listening side of one service: its socket, the connections being read
// or answered, and their run-loop sources. Everything runs on the loop the
// server was started on; sockets are non-blocking, so a slow or stalled peer
// holds up nothing but its own connection, which is closed after
// kIdleTimeout without progress. Requests are read whole, then dispatched
// (the dispatch may nest runs of the loop), then the reply is written; or
// the dispatch takes the reply to give it later (PendingReply), and the
// connection then waits, watched for the asker hanging up, without a time
// limit.
//
// Owned by its MessagingCenter through a shared pointer; loop callbacks hold
// only weak references, so the server may be destroyed on any thread.
class ServiceServer : public std::enable_shared_from_this<ServiceServer> {
 public:
  // What a dispatch may use to reply later instead of on return.
  class Call {
   public:
    // The reply to this request, to be sent later; the dispatch's return
    // value is then not sent. Null for a one-way message (nobody waits).
    std::shared_ptr<PendingReply> replyLater();

   private:
    friend class ServiceServer;
    Call(std::weak_ptr<ServiceServer> server, std::uint64_t id, pid_t asker, bool wantsReply)
        : server_(std::move(server)), id_(id), asker_(asker), wantsReply_(wantsReply) {}
    std::weak_ptr<ServiceServer> server_;
    std::uint64_t id_;
    pid_t asker_;
    bool wantsReply_;
    bool later_ = false;
  };
  using Dispatch = std::function<std::optional<plist::Dictionary>(const Request& request, Call& call)>;

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
  friend class PendingReply;
  struct Connection {
    UniqueFd fd;
    std::optional<RunLoop::SourceId> source;
    FrameReader reader;
    bool dispatching = false;  // the handler runs; no time limit then
    std::string reply;         // the whole reply frame
    std::size_t sent = 0;      // how much of it is written
    Clock::TimePoint lastProgress;
    pid_t asker = 0;
    bool later = false;       // the reply comes through a PendingReply
    bool halfClosed = false;  // the asker shut down its sending side
    std::function<void()> onAskerGone;
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
  // The PendingReply's side.
  void watchAsker(std::uint64_t id);
  void onAskerReadable(std::uint64_t id);
  void askerLeft(std::uint64_t id);
  bool sendLater(std::uint64_t id, const plist::Dictionary& reply);
  bool askerGone(std::uint64_t id);
  void setOnAskerGone(std::uint64_t id, std::function<void()> fn);
  void abandon(std::uint64_t id);

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
