#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace kst {

// One cached collection of the settings manager: an immutable value shared
// with its readers, and the lock that guards the slot holding it. Readers
// take the current value and keep it for as long as they need, without
// holding the lock; writers build a new value and swap it in. The old value
// is released after the lock, so a large list never lengthens the time the
// lock is held. Absent (null) until first set; whether it is set is one
// atomic load (present()), for the checks every judged call makes.
template <class T>
class SharedField {
 public:
  std::shared_ptr<const T> get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return value_;
  }

  bool present() const noexcept { return present_.load(std::memory_order_acquire); }

  void set(std::shared_ptr<const T> value) {
    std::shared_ptr<const T> old;
    {
      std::lock_guard<std::mutex> lock(mu_);
      old = std::exchange(value_, std::move(value));
      present_.store(value_ != nullptr, std::memory_order_release);
    }
  }

  void reset() { set(nullptr); }

  // Read-modify-write as one step under the lock: `change` gets the current
  // value (or null) and returns the replacement. Keep `change` short.
  template <class F>
  std::shared_ptr<const T> update(F&& change) {
    return updateShared([&](const std::shared_ptr<const T>& current) { return change(current.get()); });
  }

  // The same, handing `change` the current value itself, so that it may
  // keep it unchanged by returning it.
  template <class F>
  std::shared_ptr<const T> updateShared(F&& change) {
    std::shared_ptr<const T> old;
    std::shared_ptr<const T> now;
    {
      std::lock_guard<std::mutex> lock(mu_);
      now = change(value_);
      old = std::exchange(value_, now);
      present_.store(value_ != nullptr, std::memory_order_release);
    }
    return now;
  }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const T> value_;
  std::atomic<bool> present_{false};
};

}  // namespace kst
