#pragma once

#include <linux/seccomp.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "hook/intercept/JudgedAddress.h"
#include "hook/intercept/JudgedCall.h"

namespace kst::launch {

class DnsForwarder;
class PidfdCache;

// How the supervisor judges a destination; the launcher's judges with the
// hook library's decision, tests with their own.
class CallJudge {
 public:
  virtual ~CallJudge() = default;
  // A TCP connection (or a Fast Open send).
  virtual bool connectAllowed(const JudgedAddress& address) = 0;
  // A datagram, with its data for the question.
  virtual bool datagramAllowed(const JudgedAddress& address, const void* payload, std::size_t length) = 0;
};

// Serves the notifications of a supervised tree's filter: for each call it
// copies what the call names out of the target, judges it, and on allow
// performs the call itself on the target's socket (taken with pidfd_getfd)
// and answers with its result; a refused call fails with EPERM. Calls it
// never judges (sockets of other families, sends without an address, stream
// sends the kernel sends to the connected peer) continue in the kernel.
//
// Notifications are served concurrently: a pool of threads waits in the
// kernel, and a new one joins whenever none is left waiting (up to a bound),
// so one slow connect or one prompt never holds another call.
class Supervisor {
 public:
  // The calls it performs carry `token`: under an outer launcher's filter
  // (a launch from inside a supervised tree, which shares its token) they
  // are not judged a second time.
  Supervisor(int listener, CallJudge& judge, const CallToken& token);
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;
  ~Supervisor();

  // From now on an allowed connect to port 53 goes to `forwarder` instead,
  // which relays to the server asked for (null: to the server itself).
  // Before start().
  void forwardDnsThrough(DnsForwarder* forwarder) { forwarder_ = forwarder; }

  // Starts the first waiting thread. The threads live as long as the
  // process: they are detached and the process ends with the tree.
  void start();

  // Blocks until no process is left under the filter (the listener hangs up).
  void waitForTreeEnd() const;

  // Serves one notification (the threads' work; tests call it directly).
  void serve(const seccomp_notif& notification);

  // The calls performed, continued and refused so far.
  struct Counts {
    std::atomic<std::uint64_t> performed{0};
    std::atomic<std::uint64_t> continued{0};
    std::atomic<std::uint64_t> refused{0};
  };
  const Counts& counts() const { return counts_; }

 private:
  void receiverLoop();
  void addReceiver();

  int listener_;
  CallJudge& judge_;
  CallToken token_;
  DnsForwarder* forwarder_ = nullptr;
  std::unique_ptr<PidfdCache> pidfds_;
  std::size_t notifSize_ = sizeof(seccomp_notif);
  std::mutex poolMu_;
  std::size_t idle_ = 0;     // guarded by poolMu_
  std::size_t threads_ = 0;  // guarded by poolMu_
  Counts counts_;
};

}  // namespace kst::launch
