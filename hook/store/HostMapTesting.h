#pragma once

// Helpers shared by the host-name map's tests: a scripted resolver and a
// bounded wait for a condition.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hook/rules/KstFlags.h"
#include "platform/clock/Clock.h"
#include "platform/resolver/Resolver.h"

namespace kst::testing {

// Polls `done` until it holds, at most `limit` (an upper bound only).
template <class F>
bool eventually(F&& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A resolver that answers from a script. An answer may take simulated time
// (it advances the manual clock by that much, as a slow network would) or
// block until release(). Unscripted names fail. Every call is recorded.
class ScriptedResolver final : public Resolver {
 public:
  struct Answer {
    std::optional<Addresses> addresses;
    Seconds takes{0};
    bool blocks = false;
  };
  struct Call {
    std::string name;
    AddressFamily family;
    std::thread::id thread;
    bool duringPrompt;  // waitUntilDone was set
  };

  explicit ScriptedResolver(ManualClock* clock = nullptr, const KstFlags* flags = nullptr)
      : clock_(clock), flags_(flags) {}

  void script(const std::string& name, Answer answer) {
    std::lock_guard lock(mu_);
    answers_[name] = std::move(answer);
  }
  void script(const std::string& name, Addresses addresses, Seconds takes = Seconds(0)) {
    script(name, Answer{std::move(addresses), takes, false});
  }

  std::optional<Addresses> resolve(std::string_view name, AddressFamily family) override {
    Answer answer;
    {
      std::unique_lock lock(mu_);
      calls_.push_back(Call{std::string(name), family, std::this_thread::get_id(),
                            flags_ != nullptr && get(flags_->waitUntilDone)});
      ++inProgress_;
      const auto it = answers_.find(std::string(name));
      if (it != answers_.end()) answer = it->second;
      cv_.notify_all();
      if (answer.blocks) cv_.wait(lock, [&] { return released_; });
    }
    if (clock_ != nullptr) clock_->advance(answer.takes);
    std::lock_guard lock(mu_);
    --inProgress_;
    if (!answer.addresses) return std::nullopt;
    Addresses out;
    for (const std::string& a : *answer.addresses) {
      const bool six = a.find(':') != std::string::npos;
      if (family == AddressFamily::kAny || (family == AddressFamily::kIPv6) == six) out.push_back(a);
    }
    return out;
  }
  std::optional<std::string> reverseLookup(const sockaddr*, socklen_t) override { return std::nullopt; }

  // Lets every blocked answer, and all later ones, through.
  void release() {
    std::lock_guard lock(mu_);
    released_ = true;
    cv_.notify_all();
  }
  bool waitForCalls(std::size_t n) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return calls_.size() >= n; });
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Call& c : calls()) out.push_back(c.name);
    return out;
  }
  int inProgress() const {
    std::lock_guard lock(mu_);
    return inProgress_;
  }

 private:
  ManualClock* clock_;
  const KstFlags* flags_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, Answer> answers_;
  std::vector<Call> calls_;
  int inProgress_ = 0;
  bool released_ = false;
};

}  // namespace kst::testing
