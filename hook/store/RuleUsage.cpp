#include "hook/store/RuleUsage.h"

#include <cstdlib>

#include "hook/rules/CBoundary.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/rules/ProcessState.h"
#include "hook/rules/performTest.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

namespace {

// The thread's shard: threads are spread over the shards in turn.
std::size_t shardOfThread() {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t shard =
      next.fetch_add(1, std::memory_order_relaxed) % RuleUsageCounter::kShards;
  return shard;
}

// The first rule of `list` that matches, as the decision's index would have
// found it; empty when none does.
const std::string* decidingRule(const RuleList& list, std::string_view host, int port,
                                std::string_view address) {
  std::vector<std::string> one(1);
  for (const std::string& rule : list.rules()) {
    one[0].assign(rule);
    if (performTest(&one, host, port, address)) return &rule;
  }
  return nullptr;
}

struct ProcessUsage {
  RuleUsageCounter counter;
  // A report is due: set by the first count after a report.
  std::atomic<bool> reportDue{false};
};

std::atomic<ProcessUsage*> gUsage{nullptr};

void forgetUsageInChild() {
  // The parent's counts are the parent's to report; its locks may be held
  // by threads that did not come over. The old table is left behind.
  gUsage.store(nullptr, std::memory_order_release);
}

ProcessUsage& usage() {
  return processState<ProcessUsage, &forgetUsageInChild>(gUsage);
}

// The counts' owner and destination as the decision saw them: a report
// runs later and must not reach back into the manager.
struct ReportTarget {
  std::optional<std::string> bundleId;
  DeviceRoot root;
};

ReportTarget targetOf(const KstSettingsManager* m) {
  if (m == nullptr) return ReportTarget{std::nullopt, DeviceRoot::process()};
  const auto id = m->currentBundleIdentifier();
  return ReportTarget{id ? std::optional<std::string>(*id) : std::nullopt, m->env().root};
}

std::size_t report(const ReportTarget& target);

void reportAtExit() {
  atCBoundary("the rule counts' report at exit", [] { report(targetOf(settingsManagerKst())); });
}

void scheduleReport(ProcessUsage& u, const KstSettingsManager& m) {
  // Read first: while a report is due, a count costs no write to the shared flag.
  if (u.reportDue.load(std::memory_order_relaxed) || u.reportDue.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  static std::once_flag exitHook;
  std::call_once(exitHook, [] { std::atexit(reportAtExit); });
  RunLoop& loop = m.env().mainLoop != nullptr ? *m.env().mainLoop : mainQueue();
  loop.addTimer(Seconds(kRuleUsageReportDelaySeconds), [target = targetOf(&m)] {
    atCBoundary("the rule counts' report", [&target] { report(target); });
  });
}

bool sendChunk(const RuleUsageTable& chunk, const DeviceRoot& root) {
  const plist::Dictionary info = ruleUsageDictionary(chunk);
  return MessagingCenter::centerNamed(std::string(msg::kRuleUsageService), root)
      ->sendMessage(std::string(msg::kRuleUsageMessage), &info);
}

}  // namespace

void RuleUsageCounter::note(const std::shared_ptr<const RuleList>& list, bool global, bool deny,
                            const Destination& d, plist::Date when) {
  Shard& shard = shards_[shardOfThread()];
  std::lock_guard lock(shard.mu);
  for (Pending& p : shard.pending) {
    if (p.list == list && p.global == global && p.deny == deny && p.port == d.port && p.host == d.host &&
        p.address == d.address) {
      ++p.count;
      p.last = when;
      return;
    }
  }
  if (shard.pending.size() >= kMaxPendingPerShard) {
    uncounted_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  shard.pending.push_back(Pending{list, global, deny, d.host, d.port, d.address, 1, when});
}

RuleUsageTable RuleUsageCounter::take(const std::optional<std::string>& bundleId) {
  std::vector<Pending> taken;
  for (Shard& shard : shards_) {
    std::vector<Pending> mine;
    {
      std::lock_guard lock(shard.mu);
      mine.swap(shard.pending);
    }
    for (Pending& p : mine) taken.push_back(std::move(p));
  }
  RuleUsageTable table;
  for (const Pending& p : taken) {
    if (!p.global && !bundleId) continue;
    const std::string* rule = decidingRule(*p.list, p.host, p.port, p.address);
    if (rule == nullptr) continue;
    addRuleUse(table, RuleUsageKey{p.global ? std::nullopt : bundleId, p.deny, *rule},
               RuleUse{p.count, p.last});
  }
  return table;
}

void countRuleDecision(const KstSettingsManager& m, DecisionStep step, const Destination& d) {
  std::shared_ptr<const RuleList> list;
  bool global = false;
  bool deny = false;
  switch (step) {
    case DecisionStep::kGlobalDeny:
      list = m.globalDenyArray();
      global = deny = true;
      break;
    case DecisionStep::kGlobalAllow:
      list = m.globalAllowArray();
      global = true;
      break;
    case DecisionStep::kAppDeny:
      list = m.denyArray();
      deny = true;
      break;
    case DecisionStep::kAppAllow:
      list = m.allowArray();
      break;
    default:
      return;  // not a stored rule
  }
  if (!list) return;
  ProcessUsage& u = usage();
  u.counter.note(list, global, deny, d, plist::Date::now());
  scheduleReport(u, m);
}

namespace {

std::size_t report(const ReportTarget& target) {
  ProcessUsage& u = usage();
  // Cleared first: a count noted while this report runs schedules the next.
  u.reportDue.store(false, std::memory_order_release);
  RuleUsageTable table = u.counter.take(target.bundleId);
  if (table.empty()) return 0;
  std::size_t sent = 0;
  RuleUsageTable chunk;
  for (auto& [key, use] : table) {
    chunk.emplace(key, use);
    if (chunk.size() == kMaxRuleUsesPerMessage) {
      if (sendChunk(chunk, target.root)) sent += chunk.size();
      chunk.clear();
    }
  }
  if (!chunk.empty() && sendChunk(chunk, target.root)) sent += chunk.size();
  return sent;
}

}  // namespace

std::size_t reportRuleUsage(const KstSettingsManager* m) {
  return report(targetOf(m));
}

}  // namespace kst
