// What a socket call from a signal handler costs on top of its decision:
// the hand-over to the judge thread and back (a preallocated slot, two
// futex wake-ups), against calling the same judge function in place. The
// judge here decides at once, so the difference is the hand-over alone.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <atomic>

#include "hook/intercept/HandlerJudge.h"

namespace kst {
namespace {

std::atomic<long> gJudged{0};

bool instantJudge(const HandlerRequest& r) {
  gJudged.fetch_add(1, std::memory_order_relaxed);
  return r.address.port() != 0;
}

HandlerRequest request() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(443);
  a.sin_addr.s_addr = htonl(0x7f000002);
  HandlerRequest r;
  r.address = *judgedAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return r;
}

void BM_JudgeInPlace(benchmark::State& state) {
  const HandlerRequest r = request();
  for (auto _ : state) benchmark::DoNotOptimize(instantJudge(r));
}
BENCHMARK(BM_JudgeInPlace);

void BM_JudgeThroughTheJudgeThread(benchmark::State& state) {
  if (!startHandlerJudge(&instantJudge)) {
    state.SkipWithError("no judge thread");
    return;
  }
  const HandlerRequest r = request();
  for (auto _ : state) benchmark::DoNotOptimize(judgeFromHandler(r));
}
BENCHMARK(BM_JudgeThroughTheJudgeThread)->UseRealTime();

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
