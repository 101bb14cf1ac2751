#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <atomic>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/DeviceRoot.h"
#include "platform/messaging/KeptFd.h"
#include "platform/messaging/UnixSocket.h"

namespace kst {

// System-wide notifications in the manner of the original platform's Darwin
// centre: bare names, no payload, nothing queued for processes that do not
// observe.
//
// Every observing process binds one Unix datagram socket
// "<root>/var/run/kestrix/notify/<pid>-<random>"; a post sends the name
// (UTF-8, no terminator) to every socket in that folder and removes the
// sockets that refuse it, since their process is gone. Callbacks run on the
// centre's notification thread, started with the first observer (or, after
// deferListening(), by listen()); it blocks every signal. A forked child
// that inherited observers listens again from its first listen() or post():
// nothing of ours runs between a program's fork and its exec.
//
// The program may close every descriptor or dup2 its own files over the
// centre's: the socket and wake-up pipe sit at high numbers, and the thread
// checks their identity before it reads and at least every
// kDescriptorCheck; a lost one is never read, written or closed again, and
// the centre binds a new socket (notifications posted meanwhile are lost,
// as for any process that was not listening).
//
// All members may be called from any thread. After removeObserver returns,
// that observer's callback is not running and will not run again (unless
// removeObserver was called from the callback itself). The centre must not
// be destroyed from one of its callbacks.
class DarwinNotifyCenter {
 public:
  using Callback = std::function<void()>;
  using ObserverId = std::uint64_t;

  // Longer names are neither posted nor delivered.
  static constexpr std::size_t kMaxNameLength = 4096;
  // How often an idle notification thread checks its descriptors.
  static constexpr int kDescriptorCheckMs = 1000;

  explicit DarwinNotifyCenter(DeviceRoot root);
  DarwinNotifyCenter(const DarwinNotifyCenter&) = delete;
  DarwinNotifyCenter& operator=(const DarwinNotifyCenter&) = delete;
  ~DarwinNotifyCenter();

  // The centre of this process on DeviceRoot::process(); never destroyed.
  static DarwinNotifyCenter& process();

  // Delivers `name` to every observing process (this one included) and
  // returns how many took it. An empty or over-long name reaches nobody.
  std::size_t post(std::string_view name);

  // Calls `callback` on the notification thread for each arrival of `name`.
  // Returns 0, registering nothing, when the observing socket cannot be made.
  ObserverId addObserver(std::string name, Callback callback);
  void removeObserver(ObserverId id);

  // From now on observers are registered without listening: no socket and
  // no thread until listen(). For processes that must run no thread of ours
  // before they need one (a program that forks helpers and checks it is
  // single-threaded); what was posted meanwhile is missed.
  void deferListening();
  // Starts listening when observers wait for it: registered after
  // deferListening(), or inherited by a forked child. Returns true, once,
  // when it did: notifications posted before were missed, so the caller
  // reads what they would have told it. False everywhere else, at the cost
  // of one atomic load.
  bool listen();

  // The folder of the observing sockets.
  std::string folder() const;

 private:
  struct Observer {
    ObserverId id;
    std::string name;
    Callback callback;
  };

  // All require mu_. In a forked child, forgets the parent's socket and
  // thread, which are not this process's.
  void adoptForkLocked();
  // Adopts a fork and starts listening when not yet.
  bool ensureListeningLocked();
  // Binds a new socket and wake-up pipe; the old ones are forgotten, closed
  // only when still the centre's, and the old socket file removed.
  bool openLocked();
  void closeLocked();
  void stopLocked(std::unique_lock<std::mutex>& lock);
  static void* threadMain(void* self);
  void receiveLoop();
  void deliver(const std::string& name);

  friend struct NotifyForkGuard;

  const DeviceRoot root_;
  std::mutex mu_;
  std::condition_variable idle_;  // signalled when a callback has returned
  std::vector<Observer> observers_;
  ObserverId nextId_ = 1;
  ObserverId running_ = 0;  // the observer whose callback runs now
  pid_t owner_ = 0;         // the process the socket and thread belong to
  bool listening_ = false;
  // Observers wait for listen(): deferred, or inherited by a forked child.
  std::atomic<bool> listenPending_{false};
  bool deferred_ = false;  // deferListening() was called
  bool stopping_ = false;  // the notification thread is to end
  pthread_t thread_{};
  messaging::KeptFd socket_;
  // A pipe (not an eventfd: its identity must be its own) that wakes the
  // notification thread to end.
  messaging::KeptFd wakeRead_;
  messaging::KeptFd wakeWrite_;
  std::string socketPath_;
};

}  // namespace kst
