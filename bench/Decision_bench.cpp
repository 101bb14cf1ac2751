// The whole decision order over a settings manager loaded from real files,
// with N rules in every list; a decided connection with and without the
// count of the rule that decided it; and the application reload from a
// rules file of 1,000 applications.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "hook/intercept/KstDecision.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/performTest.h"
#include "hook/store/KstSettingsManager.h"
#include "hook/store/RuleUsage.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;

// A mix of the rule shapes people write: names, "*."/"*" names, IPv4
// patterns and port rules, with and without ports.
std::vector<std::string> mixedRules(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  out.reserve(n);
  for (int i = 0; i < n; ++i) {
    const std::string name =
        "host" + std::to_string(rng() % 1000000) + ".example" + std::to_string(i % 7) + ".com";
    switch (i % 8) {
      case 0:
        out.push_back(name);
        break;
      case 1:
        out.push_back("*." + name);
        break;
      case 2:
        out.push_back("*" + name);
        break;
      case 3:
        out.push_back(name + ":443");
        break;
      case 4:
        out.push_back("10." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + ".*");
        break;
      case 5:
        out.push_back("172.16." + std::to_string(rng() % 256) + ".10-20:80-90");
        break;
      case 6:
        out.push_back("*:" + std::to_string(10000 + rng() % 50000));
        break;
      default:
        out.push_back("192.168." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256));
        break;
    }
  }
  return out;
}

Value entries(const std::vector<std::string>& rules) {
  Array a;
  a.reserve(rules.size());
  for (const auto& r : rules) a.emplace_back(Dictionary{{"rule", Value(r)}, {"date", Value(plist::Date{0})}});
  return Value(std::move(a));
}

// The one rule the decided benchmarks hit, last in the application's allow list.
constexpr const char* kCountedRule = "counted.example";

std::vector<std::string> withCounted(std::vector<std::string> rules) {
  rules.emplace_back(kCountedRule);
  return rules;
}

struct Loaded {
  testing::TempRoot root;
  KstFlags flags;
  std::unique_ptr<KstSettingsManager> manager;
};

std::unique_ptr<Loaded> loadWithRules(int n) {
  auto l = std::make_unique<Loaded>();
  FileSystem& fs = FileSystem::real();
  plist::writeDictionaryFile(
      fs, l->root.path(files::kGlobalRulesPath),
      Dictionary{{"globalAllow", entries(mixedRules(n, 1))}, {"globalDeny", entries(mixedRules(n, 2))}},
      true);
  plist::writeDictionaryFile(
      fs, l->root.path(files::kRulesPath),
      Dictionary{{"com.bench.app", Value(Dictionary{{"allow", entries(withCounted(mixedRules(n, 3)))},
                                                    {"deny", entries(mixedRules(n, 4))}})}},
      true);
  KstStoreEnv env;
  env.root = l->root.root();
  env.flags = &l->flags;
  l->manager = std::make_unique<KstSettingsManager>(env);
  l->manager->setCurrentBundleIdentifier("com.bench.app");
  l->manager->clearTempAnswers();
  // Session lists grow one answer at a time; a thousand is already a long run.
  for (const auto& r : mixedRules(std::min(n, 1000), 5)) l->manager->addTempDenyRule(r);
  l->manager->reloadAppSettings();
  l->manager->reloadGlobalSettings();
  set(l->flags.SpringBoardDidFinish, true);
  return l;
}

// A destination no rule names: every list is consulted in full.
const Destination kMiss{"nothing.matches.example.org", 443, "203.0.113.77"};

void BM_DecisionOrder(benchmark::State& state) {
  auto l = loadWithRules(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Decision d = decideConnection(*l->manager, Transport::kTCP, kMiss);
    benchmark::DoNotOptimize(d);
  }
  state.counters["rules_per_list"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_DecisionOrder)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Allowed by the application's rule: the path every decided connect takes,
// then (arg 1) the count of the deciding rule that connect adds.
const Destination kHit{kCountedRule, 443, "203.0.113.5"};

void BM_DecidedConnect(benchmark::State& state) {
  auto l = loadWithRules(1000);
  const bool counting = state.range(0) != 0;
  for (auto _ : state) {
    Decision d = decideConnection(*l->manager, Transport::kTCP, kHit);
    if (counting) countRuleDecision(*l->manager, d.step, kHit);
    benchmark::DoNotOptimize(d);
  }
  state.SetLabel(counting ? "counted" : "not counted");
}
BENCHMARK(BM_DecidedConnect)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_PerformTestOneList(benchmark::State& state) {
  const std::vector<std::string> rules = mixedRules(static_cast<int>(state.range(0)), 7);
  for (auto _ : state) benchmark::DoNotOptimize(performTest(&rules, kMiss.host, kMiss.port, kMiss.address));
}
BENCHMARK(BM_PerformTestOneList)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_AppReloadFrom1000Apps(benchmark::State& state) {
  testing::TempRoot root;
  Dictionary file{{"150", Value(true)}};
  for (int i = 0; i < 1000; ++i)
    file.set("com.bench.app" + std::to_string(i),
             Value(Dictionary{{"allow", entries(mixedRules(10, i))},
                              {"deny", entries(mixedRules(10, i + 5000))},
                              {"allowEverything", Value("")},
                              {"enabled", Value(true)}}));
  plist::writeDictionaryFile(FileSystem::real(), root.path(files::kRulesPath), file, true);
  KstFlags flags;
  KstStoreEnv env;
  env.root = root.root();
  env.flags = &flags;
  KstSettingsManager m(env);
  m.setCurrentBundleIdentifier("com.bench.app500");
  for (auto _ : state) m.reloadAppSettings();
}
BENCHMARK(BM_AppReloadFrom1000Apps)->Unit(benchmark::kMillisecond);

// A published blocklist imported into the global deny list: the reload reads
// and compiles 100,000 rules (a read was once quadratic in the list).
void BM_GlobalReload100000(benchmark::State& state) {
  testing::TempRoot root;
  plist::writeDictionaryFile(FileSystem::real(), root.path(files::kGlobalRulesPath),
                             Dictionary{{"globalDeny", entries(mixedRules(100000, 9))}}, true);
  KstFlags flags;
  KstStoreEnv env;
  env.root = root.root();
  env.flags = &flags;
  KstSettingsManager m(env);
  for (auto _ : state) m.reloadGlobalSettings();
}
BENCHMARK(BM_GlobalReload100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
