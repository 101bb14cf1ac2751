// The rule decision on long lists: the literal matcher (performTest) and the
// compiled index (RuleList::matches) side by side, and the cost of compiling
// a list. The lists look like imported blocklists: mostly exact host names,
// some "*." and "*" names, a few addresses, ranges and port rules.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hook/rules/RuleIndex.h"
#include "hook/rules/RuleList.h"
#include "hook/rules/performTest.h"

namespace kst {
namespace {

struct Destination {
  std::string host;
  int port;
  std::string address;
};

struct Workload {
  std::vector<std::string> rules;
  std::shared_ptr<const RuleList> list;
  std::vector<Destination> queries;  // half of them matched by some rule, half by none
  bool agrees = false;
};

class Names {
 public:
  explicit Names(std::uint32_t seed) : random_(seed) {}

  std::string label() {
    static const char* const kSyllables[] = {"ad", "an", "bo", "ca", "de",  "el",  "fi",  "go",  "ka",  "lo",
                                             "ma", "ne", "os", "pi", "qu",  "ra",  "se",  "ti",  "un",  "vo",
                                             "wi", "xe", "yo", "za", "trk", "ads", "cdn", "mob", "net", "px"};
    std::string text;
    const std::size_t count = 2 + below(3);
    for (std::size_t i = 0; i < count; ++i) text += kSyllables[below(std::size(kSyllables))];
    return text;
  }

  std::string domain() {
    static const char* const kTlds[] = {"com", "net", "org", "io", "co.uk", "de", "info", "biz"};
    std::string text = label() + "." + label() + "." + kTlds[below(std::size(kTlds))];
    if (below(3) == 0) text = label() + "." + text;
    return text;
  }

  std::string octet() { return std::to_string(below(256)); }
  std::size_t below(std::size_t n) { return random_() % n; }

 private:
  std::mt19937 random_;
};

// A figure for a wrong answer is worthless: check the queries once per list
// (a sample of them on the longest list, where each reference call is slow).
bool agrees(const Workload& w) {
  const std::size_t checked = w.rules.size() > 100000 ? 8 : w.queries.size();
  for (std::size_t i = 0; i < checked; ++i) {
    const Destination& d = w.queries[i];
    if (performTest(&w.rules, d.host, d.port, d.address) != w.list->matches(d.host, d.port, d.address))
      return false;
  }
  return true;
}

Workload makeWorkload(std::size_t count) {
  Names names(static_cast<std::uint32_t>(count));
  Workload w;
  w.rules.reserve(count);
  std::vector<Destination> hits;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t kind = names.below(100);
    std::string rule;
    Destination hit{"", 443, "198.51.100.7"};
    if (kind < 80) {
      rule = names.domain();
      hit.host = rule;
    } else if (kind < 88) {
      const std::string d = names.domain();
      rule = "*." + d;
      hit.host = "img." + d;
    } else if (kind < 92) {
      const std::string d = names.domain();
      rule = "*" + d;
      hit.host = d;
    } else if (kind < 95) {
      rule = "10." + names.octet() + "." + names.octet() + "." + names.octet();
      hit.host = hit.address = rule;
    } else if (kind < 96) {
      const std::string network = "172." + names.octet() + "." + names.octet();
      rule = network + ".*";
      hit.address = network + ".9";
      hit.host = "x.example";
    } else if (kind < 97) {
      const std::string network = "192.168." + names.octet();
      rule = network + ".20-30:80-90";
      hit.address = network + ".25";
      hit.port = 85;
      hit.host = "y.example";
    } else if (kind < 99) {
      rule = names.domain() + ":8443";
      hit.host = rule.substr(0, rule.find(':'));
      hit.port = 8443;
    } else {
      rule = "[2001:db8::" + std::to_string(i) + "]:443";
      hit.address = "2001:db8::" + std::to_string(i);
      hit.host = "z.example";
    }
    w.rules.push_back(rule);
    hits.push_back(hit);
  }
  // The only any-host rule of the list, on a port no query uses.
  if (count > 100) w.rules[count / 2] = "*:6881-6889";

  for (int i = 0; i < 32; ++i) {
    w.queries.push_back(hits[names.below(hits.size())]);
    w.queries.push_back({"news." + names.domain(), 443, "203.0.113." + names.octet()});
  }
  w.list = RuleList::make(w.rules);
  w.agrees = agrees(w);
  return w;
}

const Workload& workload(std::size_t count) {
  static std::map<std::size_t, std::unique_ptr<Workload>> cache;
  auto& slot = cache[count];
  if (!slot) slot = std::make_unique<Workload>(makeWorkload(count));
  return *slot;
}

void BM_DecideReference(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) {
    const Destination& d = w.queries[i++ % w.queries.size()];
    benchmark::DoNotOptimize(performTest(&w.rules, d.host, d.port, d.address));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DecideIndex(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  if (!w.agrees) state.SkipWithError("index and reference disagree");
  std::size_t i = 0;
  for (auto _ : state) {
    const Destination& d = w.queries[i++ % w.queries.size()];
    benchmark::DoNotOptimize(w.list->matches(d.host, d.port, d.address));
  }
  state.SetItemsProcessed(state.iterations());
}

// Latency of single decisions, each timed on its own, as median and 99th percentile.
void BM_DecideIndexLatency(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  std::vector<double> nanos;
  for (auto _ : state) {
    for (const Destination& d : w.queries) {
      const auto begin = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(w.list->matches(d.host, d.port, d.address));
      nanos.push_back(
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count());
    }
  }
  std::sort(nanos.begin(), nanos.end());
  state.counters["p50_ns"] = nanos[nanos.size() / 2];
  state.counters["p99_ns"] = nanos[nanos.size() * 99 / 100];
}

// A hostile host of 120 labels against the same list: bounded by the longest
// stored "*" pattern, not by the number of labels squared.
void BM_DecideIndexManyLabels(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  std::string host;
  for (int i = 0; i < 120; ++i) host += (i ? "." : "") + std::string(1, static_cast<char>('a' + i % 26)) + "x";
  if (performTest(&w.rules, host, 443, "203.0.113.9") != w.list->matches(host, 443, "203.0.113.9")) {
    state.SkipWithError("index and reference disagree");
  }
  for (auto _ : state) benchmark::DoNotOptimize(w.list->matches(host, 443, "203.0.113.9"));
}

void BM_Compile(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  // Memory once, outside the timed loop: what a compiled index keeps on the heap.
  const std::size_t before = mallinfo2().uordblks;
  auto kept = std::make_unique<RuleIndex>(w.rules);
  const std::size_t heapBytes = mallinfo2().uordblks - before;
  const std::size_t indexBytes = kept->memoryBytes();
  kept.reset();
  for (auto _ : state) {
    auto index = std::make_unique<RuleIndex>(w.rules);
    benchmark::DoNotOptimize(index.get());
    state.PauseTiming();
    index.reset();
    state.ResumeTiming();
  }
  state.counters["heap_bytes"] = static_cast<double>(heapBytes);
  state.counters["bytes_per_rule"] = static_cast<double>(heapBytes) / static_cast<double>(w.rules.size());
  state.counters["index_bytes"] = static_cast<double>(indexBytes);
}

BENCHMARK(BM_DecideReference)->Arg(10)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecideIndex)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecideIndexLatency)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecideIndexManyLabels)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compile)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
