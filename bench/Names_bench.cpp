// Naming a destination on the connect path. Before: the newest name of
// SpringBoard's map, a "com.Dovrane.Radazira.HostStuff.Get" round trip to
// its service (run here on a thread of its own). After: the process's own
// record of its lookups, asked first; a miss scans the whole ring and then
// goes on to the map. Also the cost a lookup adds by recording its answer,
// and reads while another thread records thousands of names a second.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "bench/HostServiceBench.h"
#include "hook/intercept/KstLookedUpNames.h"
#include "hook/store/KstHostClient.h"
#include "platform/runloop/PollRunLoop.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using bench::HostService;

sockaddr_in address(std::uint32_t hostOrder) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(hostOrder);
  return a;
}

// A full record: kSlots names, 10.0.0.1 the oldest.
std::unique_ptr<KstLookedUpNames> fullRecord() {
  auto r = std::make_unique<KstLookedUpNames>();
  const sockaddr_in known = address(0x0A000001);
  r->record(*KstLookedUpNames::addressOf(reinterpret_cast<const sockaddr*>(&known), sizeof known),
            "known.test");
  for (std::uint32_t i = 1; i < KstLookedUpNames::kSlots; ++i) {
    const sockaddr_in a = address(0x0B000000 + i);
    r->record(*KstLookedUpNames::addressOf(reinterpret_cast<const sockaddr*>(&a), sizeof a),
              "filler" + std::to_string(i) + ".test");
  }
  return r;
}

void BM_Before_SharedMapGet(benchmark::State& state) {
  HostService service;
  if (!service.ok()) {
    state.SkipWithError("service did not start");
    return;
  }
  const KstHostClient client(service.temp().root());
  for (auto _ : state) {
    std::optional<plist::Dictionary> reply = client.getIPDictionary("10.0.0.1");
    if (!reply || lastHostName(*reply, "10.0.0.1") != "known.test") {
      state.SkipWithError("wrong reply");
      return;
    }
  }
}
BENCHMARK(BM_Before_SharedMapGet)->UseRealTime();

// The oldest entry of a full ring: the longest scan that still finds.
void BM_After_OwnRecordHitOldest(benchmark::State& state) {
  const auto r = fullRecord();
  const sockaddr_in known = address(0x0A000001);
  char name[KstLookedUpNames::kNameBuffer];
  for (auto _ : state) {
    const std::size_t n = r->find(reinterpret_cast<const sockaddr*>(&known), sizeof known, name);
    benchmark::DoNotOptimize(n);
    if (n == 0) state.SkipWithError("not found");
  }
}
BENCHMARK(BM_After_OwnRecordHitOldest);

void BM_After_OwnRecordHitNewest(benchmark::State& state) {
  const auto r = fullRecord();
  const sockaddr_in newest = address(0x0B000000 + KstLookedUpNames::kSlots - 1);
  char name[KstLookedUpNames::kNameBuffer];
  for (auto _ : state)
    benchmark::DoNotOptimize(r->find(reinterpret_cast<const sockaddr*>(&newest), sizeof newest, name));
}
BENCHMARK(BM_After_OwnRecordHitNewest);

// An address the program never looked up: the whole ring, then the map.
void BM_After_OwnRecordMiss(benchmark::State& state) {
  const auto r = fullRecord();
  const sockaddr_in unknown = address(0x0C000001);
  char name[KstLookedUpNames::kNameBuffer];
  for (auto _ : state)
    benchmark::DoNotOptimize(r->find(reinterpret_cast<const sockaddr*>(&unknown), sizeof unknown, name));
}
BENCHMARK(BM_After_OwnRecordMiss);

// What a lookup adds: recording a new name (a repeat is cheaper).
void BM_RecordNewName(benchmark::State& state) {
  const auto r = fullRecord();
  std::uint32_t i = 0;
  const std::string name(40, 'n');
  for (auto _ : state) {
    const sockaddr_in a = address(0x0D000000 + (i++ & 0xFFFFF));
    r->record(*KstLookedUpNames::addressOf(reinterpret_cast<const sockaddr*>(&a), sizeof a), name);
  }
}
BENCHMARK(BM_RecordNewName);

// A hit of the newest name while another thread records new names as fast
// as it can.
void BM_HitWhileAnotherThreadRecords(benchmark::State& state) {
  const auto r = fullRecord();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::uint32_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      const sockaddr_in a = address(0x0D000000 + (i & 0xFFFFF));
      r->record(*KstLookedUpNames::addressOf(reinterpret_cast<const sockaddr*>(&a), sizeof a), "busy.test");
    }
  });
  const sockaddr_in known = address(0x0E000001);
  r->record(*KstLookedUpNames::addressOf(reinterpret_cast<const sockaddr*>(&known), sizeof known),
            "known.test");
  char name[KstLookedUpNames::kNameBuffer];
  for (auto _ : state)
    benchmark::DoNotOptimize(r->find(reinterpret_cast<const sockaddr*>(&known), sizeof known, name));
  stop = true;
  writer.join();
}
BENCHMARK(BM_HitWhileAnotherThreadRecords)->UseRealTime();

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
