#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace kst {

// A table of the process made on first use, whose `forgetInChild` (run in a
// forked child) replaces it with a fresh one: a lock a vanished thread held
// would never be released there. Any thread.
template <class State, void (*forgetInChild)()>
State& processState(std::atomic<State*>& current) {
  State* s = current.load(std::memory_order_acquire);
  if (s != nullptr) return *s;
  static std::once_flag registered;
  std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, forgetInChild); });
  auto* fresh = new State();
  if (current.compare_exchange_strong(s, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *s;
}

}  // namespace kst
