// Round trips of the named services: a waiting send answered by a server on
// a run loop of another thread of this process (median and 99th percentile
// per send, as counters), and a one-way send as the sender sees it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

// The shape of a prompt question.
const plist::Dictionary kQuestion{{"host", "api.example.com"},
                                  {"port", "443"},
                                  {"orientation", 0},
                                  {"displayName", "Example"},
                                  {"theme", 0},
                                  {"url", "https://api.example.com/v1/items"},
                                  {"bundleIdentifier", "com.example.app"}};

struct Service {
  testing::TempRoot temp;
  testing::LoopThread loop;
  std::atomic<std::int64_t> notes{0};
  std::shared_ptr<MessagingCenter> center =
      loop.serve(temp.root(), "com.Dovrane.Radazira.Service.Window",
                 {{"messageForWindow",
                   [](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
                     return plist::Dictionary{
                         {"whatToDo", 0}, {"andToDo", 0}, {"portToDo", 0}, {"host", "api.example.com"}};
                   }},
                  {"logMessage",
                   [this](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
                     ++notes;
                     return std::nullopt;
                   }}});
};

void BM_WaitingSend(benchmark::State& state) {
  Service service;
  if (!service.center) {
    state.SkipWithError("cannot serve");
    return;
  }
  std::vector<double> micros;
  micros.reserve(200000);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    // As the clients do: a fresh centre for every question.
    auto client = MessagingCenter::centerNamed("com.Dovrane.Radazira.Service.Window", service.temp.root());
    plist::Dictionary reply = client->sendMessageAndReceiveReply("messageForWindow", &kQuestion);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    if (reply.size() != 4) state.SkipWithError("wrong reply");
    benchmark::DoNotOptimize(reply);
  }
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))];
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}
BENCHMARK(BM_WaitingSend)->UseRealTime()->MinTime(2.0);

void BM_OneWaySend(benchmark::State& state) {
  Service service;
  if (!service.center) {
    state.SkipWithError("cannot serve");
    return;
  }
  const plist::Dictionary line{{"logString", "2016-05-01 12:00:00 Example api.example.com:443 allowed\n"}};
  std::int64_t sent = 0;
  std::int64_t dropped = 0;
  for (auto _ : state) {
    auto client = MessagingCenter::centerNamed("com.Dovrane.Radazira.Service.Window", service.temp.root());
    // A one-way send never waits: when this loop outruns the server and its
    // backlog is full, the line is dropped.
    if (client->sendMessage("logMessage", &line)) {
      ++sent;
    } else {
      ++dropped;
    }
  }
  state.counters["dropped"] = static_cast<double>(dropped);
  // Let the server drain before it goes away; not part of the timing.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (service.notes < sent && std::chrono::steady_clock::now() < until) std::this_thread::yield();
}
BENCHMARK(BM_OneWaySend)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
