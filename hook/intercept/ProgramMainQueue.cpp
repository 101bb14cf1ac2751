#include "hook/intercept/ProgramMainQueue.h"

#include <dlfcn.h>

#include <new>

namespace kst {

namespace {

// Forwards everything to the program's loop; callbacks run with this
// forwarder as the library's RunLoop::current(), so services started from
// them serve on the program's loop too.
class ForwardingRunLoop final : public RunLoop {
 public:
  explicit ForwardingRunLoop(RunLoop& target) : target_(target) {}

  TimerId addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat) override {
    return target_.addTimer(delay, wrap(std::move(fn)), repeat);
  }
  void cancelTimer(TimerId id) override { target_.cancelTimer(id); }
  SourceId addFdSource(int fd, Callback onReadable) override {
    return target_.addFdSource(fd, wrap(std::move(onReadable)));
  }
  void removeFdSource(SourceId id) override { target_.removeFdSource(id); }
  void perform(Callback fn) override { target_.perform(wrap(std::move(fn))); }
  void performAndWait(Callback fn) override { target_.performAndWait(wrap(std::move(fn))); }
  void runFor(Seconds duration) override {
    CurrentScope scope(this);
    target_.runFor(duration);
  }
  bool isLoopThread() const override { return target_.isLoopThread(); }
  const Clock& clock() const override { return target_.clock(); }

 private:
  Callback wrap(Callback fn) {
    return [this, fn = std::move(fn)] {
      CurrentScope scope(this);
      fn();
    };
  }

  RunLoop& target_;
};

}  // namespace

bool adoptProgramMainQueue() {
  using LoopFn = RunLoop* (*)();
  auto fn = reinterpret_cast<LoopFn>(::dlsym(RTLD_DEFAULT, kProgramMainLoopSymbol));
  RunLoop* loop = fn != nullptr ? fn() : nullptr;
  if (loop == nullptr) return false;
  // Never destroyed: the services and hooks use it for the process's life.
  auto* forwarder = new (std::nothrow) ForwardingRunLoop(*loop);
  if (forwarder == nullptr) return false;
  installMainQueue(forwarder);
  return true;
}

}  // namespace kst
