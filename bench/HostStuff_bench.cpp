// The host-name service: a "com.Dovrane.Radazira.HostStuff.Get" round trip
// for a known address against SpringBoard's service on a thread of its own,
// and the map lookup that the iOS 7/8 library makes in-process instead.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "hook/store/KstHostClient.h"
#include "hook/store/KstHostSpringBoard.h"
#include "platform/runloop/PollRunLoop.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

// Answers every name with one address of its own, at once.
class InstantResolver final : public Resolver {
 public:
  std::optional<Addresses> resolve(std::string_view name, AddressFamily) override {
    if (name == "known.test") return Addresses{"10.0.0.1"};
    return Addresses{"10.1." + std::to_string(name.size() % 256) + "." + std::to_string(name.back() % 256)};
  }
  std::optional<std::string> reverseLookup(const sockaddr*, socklen_t) override { return std::nullopt; }
};

// SpringBoard's service, served by a loop thread, with a map of about a
// thousand addresses including "10.0.0.1" → known.test.
class HostService {
 public:
  HostService() : thread_([this] { loop_.run(); }) {
    loop_.performAndWait([&] {
      service_ =
          std::make_unique<KstHostSpringBoard>(KstHostMapEnv{&resolver_, &loop_, &flags_}, temp_.root());
      ok_ = service_->initSBSMessaging();
    });
    for (int i = 0; i < 1000; ++i) service_->hostMap().theHostStuff("host" + std::to_string(i) + ".test");
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

void BM_HostStuffGetRoundTrip(benchmark::State& state) {
  HostService service;
  if (!service.ok()) {
    state.SkipWithError("service did not start");
    return;
  }
  const KstHostClient client(service.temp().root());
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::optional<plist::Dictionary> reply = client.getIPDictionary("10.0.0.1");
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    if (!reply || lastHostName(*reply, "10.0.0.1") != "known.test") {
      state.SkipWithError("wrong reply");
      return;
    }
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
}
BENCHMARK(BM_HostStuffGetRoundTrip)->UseRealTime();

void BM_HostMapLookupInProcess(benchmark::State& state) {
  HostService service;
  for (auto _ : state) benchmark::DoNotOptimize(service.hostMap().lastName("10.0.0.1"));
}
BENCHMARK(BM_HostMapLookupInProcess);

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
