#include "hook/intercept/LazyWatches.h"

#include <pthread.h>

#include <mutex>
#include <string>
#include <vector>

#include "hook/intercept/WatchedFiles.h"
#include "hook/rules/KstFiles.h"
#include "platform/fs/FileStamp.h"
#include "platform/notify/DarwinNotifyCenter.h"

// Provided by the substrate when it is loaded; absent in programs (tests)
// that run without it.
extern "C" void kst_objc_watchResume(void) __attribute__((weak));

namespace kst {

namespace {

struct ReadStamps {
  std::mutex mu;
  FileStamps stamps;  // guarded by mu; empty before the first note
};

ReadStamps& readStamps() {
  // Never destroyed: hooks run after static destructors. Its lock is held
  // across fork, so a child never inherits it taken by a vanished thread.
  static ReadStamps* const r = [] {
    auto* s = new ReadStamps;
    ::pthread_atfork([] { readStamps().mu.lock(); }, [] { readStamps().mu.unlock(); },
                     [] { readStamps().mu.unlock(); });
    return s;
  }();
  return *r;
}

FileStamps currentStamps(const KstSettingsManager& m) {
  const DeviceRoot& root = m.env().root;
  return fileStamps(
      {root.path(files::kRulesPath), root.path(files::kGlobalRulesPath), root.path(files::kWhiteListPath)});
}

// Notes the files as read now; whether they differ from the last note.
bool noteAndCompare(const KstSettingsManager& m) {
  FileStamps now = currentStamps(m);
  ReadStamps& r = readStamps();
  std::lock_guard lock(r.mu);
  const bool changed = r.stamps != now;
  r.stamps = std::move(now);
  return changed;
}

}  // namespace

void noteRuleFilesRead(const KstSettingsManager& m) {
  noteAndCompare(m);
}

void startWatchesForJudging(KstSettingsManager& m) {
  // The files every judged call depends on, watched rather than looked at.
  WatchedFiles::process().start();
  if (DarwinNotifyCenter::process().listen() && noteAndCompare(m)) {
    // Listening from now on; what was posted before is read from the files.
    m.reloadGlobalSettings();
    m.reloadAppSettings();
  }
  if (kst_objc_watchResume != nullptr) kst_objc_watchResume();
}

}  // namespace kst
