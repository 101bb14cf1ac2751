#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/plist/PlistValue.h"

namespace kst::messaging {

class ServiceServer;

// The reply to one waiting send that its handler gives later rather than on
// return: a question that waits its turn for a person. The asker's
// connection stays open until send() or until this object is destroyed
// unsent (the asker then reads the empty reply, as for a lost service).
// Loop thread of the serving loop only.
class PendingReply {
 public:
  PendingReply(std::weak_ptr<ServiceServer> server, std::uint64_t connection, pid_t asker);
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;
  ~PendingReply();

  // Writes the reply once; later calls, and calls after the asker hung up,
  // do nothing. False when nothing was written.
  bool send(const plist::Dictionary& reply);
  // The asker hung up (closed its end) or the service is gone. An asker
  // that only shut down its sending side still waits for the reply.
  bool askerGone() const;
  // Runs once, on the loop, when the asker is seen to hang up before the
  // reply went out. Set it right after the handler took the reply.
  void onAskerGone(std::function<void()> fn);
  // The asking process, as the kernel names it (0 when unknown).
  pid_t asker() const { return asker_; }

 private:
  std::weak_ptr<ServiceServer> server_;
  std::uint64_t connection_;
  pid_t asker_;
  bool done_ = false;
};

}  // namespace kst::messaging
