#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "hook/messaging/KstServiceEnv.h"
#include "hook/store/RuleUsageFile.h"
#include "platform/fs/FileStamp.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

// SpringBoard's keeper of the rule counts. It serves
// "com.Dovrane.Radazira.RuleUsage" (one-way "ruleUsage" messages: the counts
// a process made since its last report), adds them to the counts read from
// the counts file at start, and writes the file whole a moment after a
// change, leaving out rules that are no longer in their list. A counts file
// that is damaged or from a newer version is read as none and kept beside
// it before the first write replaces it.
//
// Bounded against a flood: a message of more rules than a process ever sends
// at once is refused whole, at most kMaxRules distinct rules are kept (new
// ones beyond are dropped until a write has pruned), and the file is written
// at most once per kWriteDelay whatever arrives.
//
// Created once by SpringBoard and served on its main thread, where every
// handler and the delayed write run; writeNow() may also come from the
// thread that ends the process, hence the lock.
class RuleUsageSBS {
 public:
  static constexpr std::size_t kMaxRules = 200'000;
  static constexpr Seconds kWriteDelay{1.0};

  // `maxRules`: the bound of distinct rules kept (tests lower it).
  explicit RuleUsageSBS(KstServiceEnv env = {}, std::size_t maxRules = kMaxRules);
  RuleUsageSBS(const RuleUsageSBS&) = delete;
  RuleUsageSBS& operator=(const RuleUsageSBS&) = delete;

  // Reads the counts file and starts serving on the calling thread's run
  // loop. False when the service cannot start (the counts are still read).
  bool initSBSMessaging();

  // Adds one message's counts; the write follows after kWriteDelay on the
  // calling thread's loop. A message that is not a counts table is dropped.
  void handleUsage(const plist::Dictionary* userInfo);

  // Prunes (when a rule file changed, or new rules were counted, since the
  // last prune) and writes the file when the counts changed since the last
  // write. False when the write failed; the counts are kept for the next.
  bool writeNow();

  // Writes once more when the process ends normally (SpringBoard's keeper
  // only: the object must live until then).
  void writeAtExit();

  RuleUsageTable table() const;

 private:
  void readFile();
  void scheduleWriteLocked();
  void pruneLocked();

  KstServiceEnv env_;
  const std::size_t maxRules_;
  std::shared_ptr<MessagingCenter> center_;
  mutable std::mutex mu_;
  RuleUsageTable table_;                     // guarded by mu_
  bool dirty_ = false;                       // guarded by mu_
  bool writeScheduled_ = false;              // guarded by mu_
  bool newRulesSincePrune_ = true;           // guarded by mu_
  std::optional<FileStamps> prunedAgainst_;  // guarded by mu_
  // Tells a delayed write whether its keeper still lives (both run on the loop).
  std::shared_ptr<RuleUsageSBS*> self_ = std::make_shared<RuleUsageSBS*>(this);
};

}  // namespace kst
