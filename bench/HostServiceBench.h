#pragma once

// SpringBoard's host-name service for benchmarks: served on a loop thread of
// its own, with a resolver that answers at once, its map knowing 10.0.0.1 as
// known.test (behind `otherNames` other names when asked for).

#include <memory>
#include <string>
#include <thread>

#include "hook/store/KstHostSpringBoard.h"
#include "platform/runloop/PollRunLoop.h"
#include "platform/testing/TempRoot.h"

namespace kst::bench {

// Answers every name with one address of its own, at once.
class InstantResolver final : public Resolver {
 public:
  std::optional<Addresses> resolve(std::string_view name, AddressFamily) override {
    if (name == "known.test") return Addresses{"10.0.0.1"};
    return Addresses{"10.1." + std::to_string(name.size() % 256) + "." + std::to_string(name.back() % 256)};
  }
  std::optional<std::string> reverseLookup(const sockaddr*, socklen_t) override { return std::nullopt; }
};

class HostService {
 public:
  explicit HostService(int otherNames = 0) : thread_([this] { loop_.run(); }) {
    loop_.performAndWait([&] {
      service_ =
          std::make_unique<KstHostSpringBoard>(KstHostMapEnv{&resolver_, &loop_, &flags_}, temp_.root());
      ok_ = service_->initSBSMessaging();
    });
    for (int i = 0; i < otherNames; ++i)
      service_->hostMap().theHostStuff("host" + std::to_string(i) + ".test");
    service_->hostMap().theHostStuff("known.test");
  }
  ~HostService() {
    loop_.performAndWait([&] { service_.reset(); });
    loop_.stop();
    thread_.join();
  }
  bool ok() const { return ok_; }
  const testing::TempRoot& temp() const { return temp_; }
  KstHostMap& hostMap() { return service_->hostMap(); }

 private:
  testing::TempRoot temp_;
  KstFlags flags_;
  InstantResolver resolver_;
  PollRunLoop loop_;
  std::thread thread_;
  std::unique_ptr<KstHostSpringBoard> service_;
  bool ok_ = false;
};

}  // namespace kst::bench
