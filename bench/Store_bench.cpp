// The store at blocklist scale: reading and writing a global rules file of
// N rules, relaying it ("global.Rules") and writing it through SpringBoard's
// rule-write service ("GlobalMessageThatHasInfo"), and one application's
// rule write into a rules file of 1,000 applications ("messageThatHasInfo").
// The services run on a run loop of another thread of this process, the
// client is the real one over the real socket; every figure is wall time
// per operation (one operation per iteration; the median of the
// repetitions is what to quote). On a loaded machine wall time is mostly
// waiting for a core: the counter process_cpu_ms is the work of both sides
// (every thread of the process) per operation.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "hook/messaging/KstDarwinMessage.h"
#include "hook/messaging/KstMessaging.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

double processCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Adds the process's CPU time of each operation to a counter.
class CpuMeter {
 public:
  explicit CpuMeter(benchmark::State& state) : state_(state) {}
  ~CpuMeter() {
    if (state_.iterations() > 0)
      state_.counters["process_cpu_ms"] = total_ / static_cast<double>(state_.iterations());
  }
  void start() { from_ = processCpuMs(); }
  void stop() { total_ += processCpuMs() - from_; }

 private:
  benchmark::State& state_;
  double from_ = 0;
  double total_ = 0;
};

plist::Dictionary ruleEntry(const std::string& text, double date) {
  return plist::Dictionary{{std::string(files::kRuleKey), plist::Value(text)},
                           {std::string(files::kDateKey), plist::Value(plist::Date{date})}};
}

// A global dictionary as a host-list import leaves it: N deny rules and the
// switches. Built once per size.
const plist::Dictionary& globalOf(std::int64_t rules) {
  static std::map<std::int64_t, std::unique_ptr<plist::Dictionary>> cache;
  auto& slot = cache[rules];
  if (!slot) {
    plist::Array deny;
    deny.reserve(static_cast<std::size_t>(rules));
    for (std::int64_t i = 0; i < rules; ++i)
      deny.emplace_back(
          ruleEntry("ads" + std::to_string(i) + ".tracker.example.net", 6e8 + static_cast<double>(i)));
    slot =
        std::make_unique<plist::Dictionary>(plist::Dictionary{{"150", true},
                                                              {"log", true},
                                                              {"respectGlobal", false},
                                                              {"globalAllow", plist::Array{}},
                                                              {"globalDeny", plist::Value(std::move(deny))}});
  }
  return *slot;
}

// SpringBoard's rule-write and rules-reply services over a temporary root.
struct Services {
  testing::TempRoot temp;
  KstFlags flags;
  testing::LoopThread loop;
  std::unique_ptr<KstMessaging> writes;
  std::unique_ptr<KstDarwinMessage> rules;
  bool ok = false;

  Services() {
    KstServiceEnv env;
    env.root = temp.root();
    env.flags = &flags;
    writes = std::make_unique<KstMessaging>(env);
    rules = std::make_unique<KstDarwinMessage>(env);
    loop.loop().performAndWait([&] { ok = writes->initMessagingCenter() && rules->initMessagingCenter(); });
  }
  ~Services() {
    loop.loop().performAndWait([&] {
      writes.reset();
      rules.reset();
    });
  }
  plist::Dictionary send(std::string_view service, std::string_view name, const plist::Dictionary* info) {
    auto center = MessagingCenter::centerNamed(std::string(service), temp.root());
    // On a machine loaded by other work the default limits (a 3 s reply)
    // end a 1,000,000-rule exchange before the work is done; the figures
    // here are the work.
    using std::chrono::milliseconds;
    center->setLimits({milliseconds(10000), milliseconds(60000), milliseconds(60000), milliseconds(5000)});
    return center->sendMessageAndReceiveReply(std::string(name), info);
  }
  std::string path(std::string_view devicePath) const { return temp.path(devicePath); }
};

void BM_ReadGlobalFile(benchmark::State& state) {
  testing::TempRoot temp;
  const std::string path = temp.path(files::kGlobalRulesPath);
  if (!plist::writeDictionaryFile(FileSystem::real(), path, globalOf(state.range(0)), true)) {
    state.SkipWithError("cannot write");
    return;
  }
  CpuMeter cpu(state);
  for (auto _ : state) {
    cpu.start();
    auto global = plist::readDictionaryFile(FileSystem::real(), path);
    cpu.stop();
    if (!global || global->array("globalDeny")->size() != static_cast<std::size_t>(state.range(0)))
      state.SkipWithError("not read whole");
    benchmark::DoNotOptimize(global);
  }
}

void BM_WriteGlobalFile(benchmark::State& state) {
  testing::TempRoot temp;
  const std::string path = temp.path(files::kGlobalRulesPath);
  const plist::Dictionary& global = globalOf(state.range(0));
  for (auto _ : state) {
    if (!plist::writeDictionaryFile(FileSystem::real(), path, global, true))
      state.SkipWithError("cannot write");
  }
}

void BM_RelayGlobalRules(benchmark::State& state) {
  Services s;
  if (!s.ok || !plist::writeDictionaryFile(FileSystem::real(), s.path(files::kGlobalRulesPath),
                                           globalOf(state.range(0)), true)) {
    state.SkipWithError("cannot serve");
    return;
  }
  CpuMeter cpu(state);
  for (auto _ : state) {
    cpu.start();
    plist::Dictionary reply = s.send(msg::kExtendedService, msg::kGlobalRules, nullptr);
    cpu.stop();
    const plist::Array* deny = reply.array("globalDenyArray");
    if (deny == nullptr || deny->size() != static_cast<std::size_t>(state.range(0))) {
      state.SkipWithError("the reply did not arrive whole");
      break;
    }
    benchmark::DoNotOptimize(reply);
  }
}

// The parts of the relay: the handler (file read and reply built), and the
// reply's encoding and decoding.
void BM_RelayParts(benchmark::State& state) {
  Services s;
  if (!plist::writeDictionaryFile(FileSystem::real(), s.path(files::kGlobalRulesPath),
                                  globalOf(state.range(0)), true)) {
    state.SkipWithError("cannot write");
    return;
  }
  double handler = 0, encode = 0, decode = 0;
  const auto since = [](auto start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  };
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    std::optional<plist::Dictionary> reply = s.rules->handleMessageNamed(msg::kGlobalRules, nullptr);
    handler += since(t);
    t = std::chrono::steady_clock::now();
    auto bytes = messaging::encodeReply(*reply);
    encode += since(t);
    t = std::chrono::steady_clock::now();
    auto back = messaging::decodeReply(std::string_view(*bytes).substr(messaging::kFrameHeaderSize));
    decode += since(t);
    state.counters["reply_MB"] = static_cast<double>(bytes->size()) / 1e6;
  }
  state.counters["handler_ms"] = handler / static_cast<double>(state.iterations());
  state.counters["encode_ms"] = encode / static_cast<double>(state.iterations());
  state.counters["decode_ms"] = decode / static_cast<double>(state.iterations());
}

void BM_GlobalMessageThatHasInfo(benchmark::State& state) {
  Services s;
  if (!s.ok) {
    state.SkipWithError("cannot serve");
    return;
  }
  const plist::Dictionary& global = globalOf(state.range(0));
  CpuMeter cpu(state);
  for (auto _ : state) {
    cpu.start();
    s.send(msg::kRuleWriteService, msg::kGlobalMessageThatHasInfo, &global);
    cpu.stop();
  }
  auto written = plist::readDictionaryFile(FileSystem::real(), s.path(files::kGlobalRulesPath));
  if (!written || written->array("globalDeny")->size() != static_cast<std::size_t>(state.range(0)))
    state.SkipWithError("not written whole");
}

// One "Always" answer of one application, written into a rules file of
// 1,000 applications of 20 rules each.
void BM_AppRuleWriteAmongApps(benchmark::State& state) {
  Services s;
  plist::Dictionary file{{"150", true}};
  for (std::int64_t app = 0; app < state.range(0); ++app) {
    plist::Array allow;
    for (int r = 0; r < 20; ++r)
      allow.emplace_back(ruleEntry("host" + std::to_string(r) + ".example.com", 6e8));
    file.appendUnchecked("com.example.app" + std::to_string(app),
                         plist::Dictionary{{"enabled", true}, {"allowEverything", ""}, {"allow", allow}});
  }
  if (!s.ok || !plist::writeDictionaryFile(FileSystem::real(), s.path(files::kRulesPath), file, true)) {
    state.SkipWithError("cannot serve");
    return;
  }
  plist::Dictionary entry = *file.dictionary("com.example.app7");
  plist::Array allow = *entry.array("allow");
  allow.emplace_back(ruleEntry("answer.example.com", 6.5e8));
  entry.set("allow", plist::Value(std::move(allow)));
  const plist::Dictionary info{{"com.example.app7", entry}};
  CpuMeter cpu(state);
  for (auto _ : state) {
    cpu.start();
    s.send(msg::kRuleWriteService, msg::kMessageThatHasInfo, &info);
    cpu.stop();
  }
  auto written = plist::readDictionaryFile(FileSystem::real(), s.path(files::kRulesPath));
  if (!written || written->size() != file.size()) state.SkipWithError("not written whole");
}

void sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("rules")->Arg(20000)->Arg(100000)->Arg(300000)->Arg(1000000);
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_ReadGlobalFile)->Apply(sizes);
BENCHMARK(BM_WriteGlobalFile)->Apply(sizes);
BENCHMARK(BM_RelayGlobalRules)->Apply(sizes);
BENCHMARK(BM_GlobalMessageThatHasInfo)->Apply(sizes);
BENCHMARK(BM_RelayParts)->Apply(sizes);
BENCHMARK(BM_AppRuleWriteAmongApps)
    ->ArgName("apps")
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
