// The host-name service: a "com.Dovrane.Radazira.HostStuff.Get" round trip
// for a known address against SpringBoard's service on a thread of its own,
// and the map lookup that the iOS 7/8 library makes in-process instead.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bench/HostServiceBench.h"
#include "hook/store/KstHostClient.h"

namespace kst {
namespace {

using bench::HostService;

void BM_HostStuffGetRoundTrip(benchmark::State& state) {
  HostService service(1000);  // about a thousand addresses besides known.test
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
  HostService service(1000);  // about a thousand addresses besides known.test
  for (auto _ : state) benchmark::DoNotOptimize(service.hostMap().lastName("10.0.0.1"));
}
BENCHMARK(BM_HostMapLookupInProcess);

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
