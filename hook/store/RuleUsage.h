#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hook/rules/Decision.h"
#include "hook/rules/RuleList.h"
#include "hook/store/RuleUsageFile.h"

namespace kst {

class KstSettingsManager;

// Counts, in a hooked process, how often each stored rule decided one of its
// connections and when it last did.
//
// The connect path only notes the decision: the list that decided, the
// destination and the time, added into one of a few shards (each thread
// keeps to one) under that shard's lock, which only the report takes
// besides, for a moment. Which rule of the list decided is worked out by the
// report, off the connect path. Distinct destinations noted between two
// reports are bounded; beyond the bound a decision goes uncounted.
// Any thread.
class RuleUsageCounter {
 public:
  static constexpr std::size_t kShards = 8;
  static constexpr std::size_t kMaxPendingPerShard = 256;

  void note(const std::shared_ptr<const RuleList>& list, bool global, bool deny,
            const Destination& destination, plist::Date when);

  // Everything noted since the last take, by rule. Application rules are
  // counted under `bundleId` (without one they are left out). A destination
  // that no rule of its list matches (the list was replaced meanwhile) is
  // left out too.
  RuleUsageTable take(const std::optional<std::string>& bundleId);

  // Decisions that found their shard full.
  std::uint64_t uncounted() const { return uncounted_.load(std::memory_order_relaxed); }

 private:
  struct Pending {
    std::shared_ptr<const RuleList> list;
    bool global = false;
    bool deny = false;
    std::string host;
    int port = 0;
    std::string address;
    std::uint64_t count = 0;
    plist::Date last;
  };
  struct Shard {
    std::mutex mu;
    std::vector<Pending> pending;  // guarded by mu
  };

  std::array<Shard, kShards> shards_;
  std::atomic<std::uint64_t> uncounted_{0};
};

// The process's counts, reported to the shell's "ruleUsage" service a few
// seconds after a decision was counted and at exit, one-way: a shell that is
// away, busy or backed up loses them. A forked child starts with none.

// The decision path's one call: counts a decision by a stored rule list
// (the other steps count nothing).
void countRuleDecision(const KstSettingsManager& manager, DecisionStep step, const Destination& destination);

// Sends what was counted, now, under `manager`'s bundle identifier and to
// the shell of its device root (the process's, without a manager). Returns
// how many rules the sent messages carried (0 when nothing was counted or
// nothing could be sent).
std::size_t reportRuleUsage(const KstSettingsManager* manager);

// How long after a counted decision the counts are sent.
inline constexpr double kRuleUsageReportDelaySeconds = 2.0;
// Rules per message; a report of more is split.
inline constexpr std::size_t kMaxRuleUsesPerMessage = 4096;

}  // namespace kst
