#include "hook/messaging/RuleUsageSBS.h"

#include <syslog.h>

#include <cstdlib>

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/plist/PlistFile.h"

namespace kst {

RuleUsageSBS::RuleUsageSBS(KstServiceEnv env, std::size_t maxRules)
    : env_(std::move(env)), maxRules_(maxRules) {}

bool RuleUsageSBS::initSBSMessaging() {
  readFile();
  {
    // A file kept aside is replaced at once, so that no reader takes it
    // for this version's.
    std::lock_guard lock(mu_);
    if (dirty_) scheduleWriteLocked();
  }
  center_ = startService(env_, msg::kRuleUsageService, {msg::kRuleUsageMessage},
                         [this](const std::string&, const plist::Dictionary* userInfo) {
                           handleUsage(userInfo);
                           return std::optional<plist::Dictionary>();
                         });
  return center_ != nullptr;
}

void RuleUsageSBS::readFile() {
  const std::string path = env_.root.path(files::kRuleUsagePath);
  RuleUsageFile file = readRuleUsageFile(*env_.fs, path);
  std::lock_guard lock(mu_);
  if (file.state == RuleUsageFile::State::kDamaged || file.state == RuleUsageFile::State::kNewer) {
    // Counted afresh; the old file stays beside the new one for whoever can
    // read it.
    plist::keepDamagedFile(*env_.fs, path, file.bytes);
    dirty_ = true;
  }
  table_ = std::move(file.table);
}

void RuleUsageSBS::handleUsage(const plist::Dictionary* userInfo) {
  if (userInfo == nullptr) return;
  // A process splits its reports at kMaxRuleUsesPerMessage; a bigger one is
  // nobody's report.
  constexpr std::size_t kMaxPerMessage = 4096;
  std::optional<RuleUsageTable> counts = ruleUsageFromDictionary(*userInfo, kMaxPerMessage + 1);
  if (!counts || counts->empty() || counts->size() > kMaxPerMessage) return;
  std::lock_guard lock(mu_);
  for (const auto& [key, use] : *counts) {
    if (table_.size() >= maxRules_ && table_.find(key) == table_.end()) continue;
    const std::size_t before = table_.size();
    addRuleUse(table_, key, use);
    if (table_.size() != before) newRulesSincePrune_ = true;
  }
  dirty_ = true;
  scheduleWriteLocked();
}

void RuleUsageSBS::scheduleWriteLocked() {
  if (writeScheduled_) return;
  RunLoop* loop = RunLoop::current();
  if (loop == nullptr) return;  // written by the next writeNow()
  writeScheduled_ = true;
  loop->addTimer(kWriteDelay, [self = std::weak_ptr<RuleUsageSBS*>(self_)] {
    const std::shared_ptr<RuleUsageSBS*> keeper = self.lock();
    if (!keeper) return;
    {
      std::lock_guard lock((*keeper)->mu_);
      (*keeper)->writeScheduled_ = false;
    }
    (*keeper)->writeNow();
  });
}

void RuleUsageSBS::pruneLocked() {
  const std::string rulesPath = env_.root.path(files::kRulesPath);
  const std::string globalPath = env_.root.path(files::kGlobalRulesPath);
  const FileStamps stamps = fileStamps({rulesPath, globalPath});
  if (!newRulesSincePrune_ && prunedAgainst_ && *prunedAgainst_ == stamps) return;
  const std::optional<plist::Dictionary> rules = plist::readDictionaryFile(*env_.fs, rulesPath);
  const std::optional<plist::Dictionary> global = plist::readDictionaryFile(*env_.fs, globalPath);
  // A rule file there but unreadable says nothing about which rules went:
  // its counts are kept until it can be read.
  if ((!rules && env_.fs->exists(rulesPath)) || (!global && env_.fs->exists(globalPath))) return;
  if (pruneRuleUsage(table_, rules ? &*rules : nullptr, global ? &*global : nullptr, plist::Date::now()) > 0)
    dirty_ = true;
  prunedAgainst_ = stamps;
  newRulesSincePrune_ = false;
}

bool RuleUsageSBS::writeNow() {
  std::lock_guard lock(mu_);
  pruneLocked();
  if (!dirty_) return true;
  if (!writeRuleUsageFile(*env_.fs, env_.root.path(files::kRuleUsagePath), table_)) {
    syslog(LOG_WARNING, "Kestrix: the rule counts could not be written; they are kept for the next write");
    return false;
  }
  dirty_ = false;
  return true;
}

void RuleUsageSBS::writeAtExit() {
  static RuleUsageSBS* keeper = this;
  std::atexit([] { keeper->writeNow(); });
}

RuleUsageTable RuleUsageSBS::table() const {
  std::lock_guard lock(mu_);
  return table_;
}

}  // namespace kst
