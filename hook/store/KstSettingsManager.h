#pragma once

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hook/rules/KstFlags.h"
#include "hook/rules/RuleList.h"
#include "hook/rules/RuleSet.h"
#include "hook/rules/SessionAnswerStore.h"
#include "hook/rules/SharedField.h"
#include "hook/store/HostNames.h"
#include "hook/store/KstStoreEnv.h"
#include "hook/store/NetworkWatch.h"
#include "hook/store/UrlCapture.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/hosttable/HostNameTable.h"
#include "platform/plist/PlistValue.h"
#include "platform/resolver/Resolver.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

using StringList = std::vector<std::string>;

// The per-process cache of everything the connection hooks need to decide
// without touching the disk: this application's switches and rules, the
// global rules and settings, the white list, and the answers given for the
// current run.
//
// Every collection is immutable and shared: a reader takes the current value
// (under that field's own short lock) and keeps a valid collection for as long
// as it holds it; reloads and writers build a new value and swap it in. The
// flags live in KstFlags. Reloads run on the main queue only; the public
// reload calls marshal themselves there and wait. Everything else may be
// called from any thread.
class KstSettingsManager {
 public:
  explicit KstSettingsManager(KstStoreEnv env = {});
  ~KstSettingsManager();
  KstSettingsManager(const KstSettingsManager&) = delete;
  KstSettingsManager& operator=(const KstSettingsManager&) = delete;

  // Reloads, from any thread; returns once the main queue has finished.
  void reloadAppSettings();
  void reloadGlobalSettings();
  // The reloads themselves; main queue only.
  void reallyReloadAppSettings();
  void reallyReloadGlobalSettings();

  // Start-up leaves the reading of both settings to the first call that
  // needs them: a program that never connects never reads a rule file, and
  // a large global list is not compiled before its main. After
  // deferReload(), reloadIfDeferred() reloads the application settings and
  // then the global ones, once, and every caller returns only after that
  // reload (callers meet on the main queue, so no lock is held while it
  // runs). Cheap when nothing is deferred: one atomic load. A reload that
  // fails (memory exhausted) stays deferred and throws on the caller's
  // thread, never on the main queue's.
  void deferReload();
  void reloadIfDeferred();

  std::string description() const;

  // The connection log: builds the line (time stamp, this manager's appName,
  // verdict, host, port) and sends it to SpringBoard without waiting. The
  // first argument is not used: the line always names appName.
  void logThisApp(const std::string& app, const std::string& host, const std::string& port,
                  const std::string& what);

  // Properties. A getter returns null while the value is unset.
  std::shared_ptr<const std::string> appName() const { return appName_.get(); }
  bool hasAppName() const noexcept { return appName_.present(); }
  void setAppName(std::string v) { appName_.set(std::make_shared<const std::string>(std::move(v))); }
  std::shared_ptr<const std::string> basicString() const { return basicString_.get(); }
  std::shared_ptr<const StringList> urlArray() const { return urls_.urls(); }
  void setUrlArray(StringList v) { urls_.set(std::move(v)); }
  std::shared_ptr<const std::string> currentBundleIdentifier() const {
    return currentBundleIdentifier_.get();
  }
  bool hasCurrentBundleIdentifier() const noexcept { return currentBundleIdentifier_.present(); }
  void setCurrentBundleIdentifier(std::string v);
  void clearCurrentBundleIdentifier() { currentBundleIdentifier_.reset(); }
  std::shared_ptr<const plist::Dictionary> plistDictionary() const { return plistDictionary_.get(); }
  std::shared_ptr<const RuleList> tempAllowArray() const { return session_.allowRules(); }
  std::shared_ptr<const RuleList> tempDenyArray() const { return session_.denyRules(); }
  std::shared_ptr<const std::string> allowEverything() const { return allowEverything_.get(); }
  std::shared_ptr<const RuleList> allowArray() const { return allowArray_.get(); }
  std::shared_ptr<const RuleList> denyArray() const { return denyArray_.get(); }
  std::shared_ptr<const plist::Dictionary> mutableDicOfCurrentBundleIdentifier() const {
    return mutableDicOfCurrentBundleIdentifier_.get();
  }
  std::shared_ptr<const plist::Dictionary> globalRulesDic() const { return globalRulesDic_.get(); }
  std::shared_ptr<const RuleList> globalAllowArray() const { return globalAllowArray_.get(); }
  std::shared_ptr<const RuleList> globalDenyArray() const { return globalDenyArray_.get(); }
  std::shared_ptr<const StringList> whiteListArray() const { return whiteListArray_.get(); }
  std::shared_ptr<const std::string> tempAllowAllString() const { return session_.all(); }
  void setTempAllowAllString(std::string v) { session_.setAll(std::move(v)); }
  // The session answers as one decision takes them.
  SessionAnswers sessionAnswers() const { return session_.current(); }
  std::shared_ptr<const bool> aTheme() const { return aTheme_.get(); }
  // Everything a decision reads from the rule files, whole; null before the
  // first reload. The fields above are its mirrors.
  std::shared_ptr<const RuleSet> ruleSet() const { return ruleSet_.get(); }

  // Run-time answers and captured URLs, each changed as one step under its
  // field's lock.
  void addTempAllowRule(std::string rule);
  void addTempDenyRule(std::string rule);
  void clearTempAnswers();  // both session lists empty, the run-wide answer "0"
  // Appends a captured URL; while there is no list (hooks not installed
  // yet) only a caller that may create it does.
  void appendUrl(std::string url, bool createIfMissing = false);
  // Edits for the rule writer: `change` gets the current dictionary (or null)
  // and returns the replacement.
  std::shared_ptr<const plist::Dictionary> updateMutableDicOfCurrentBundleIdentifier(
      const std::function<plist::Dictionary(const plist::Dictionary*)>& change);
  std::shared_ptr<const plist::Dictionary> updateGlobalRulesDic(
      const std::function<plist::Dictionary(const plist::Dictionary*)>& change);
  void setGlobalRulesDic(plist::Dictionary dict);

  // The host-name map: names the application looks up are handed in, and
  // the newest name recorded for an address names a connection to it.
  void doHostStuff(std::string_view name);
  std::optional<plist::Dictionary> getIPDictionary(std::string_view address);
  std::optional<std::string> lastHostNameForAddress(std::string_view address);
  // When the application returns to the foreground the manager's own map
  // (iOS 7/8) is discarded; it is rebuilt as names arrive again.
  void clearHostMap();

  // The URL shown with a question: the newest captured URL that contains
  // host + "/", else one blank. Ten or more captured URLs are emptied after
  // the search. One step under the list's lock.
  std::string urlForHost(std::string_view host);

  // Whether any field the hooks need before deciding is missing, in which
  // case they have the application settings reloaded.
  bool needsAppReload() const;
  // A rule held now has expired since the last reload: one clock read (no
  // system call) and one atomic load.
  bool rulesExpired() const;
  // Reloads both parts when rulesExpired(); the reload drops the expired
  // rules and finds the next expiry.
  void reloadIfRulesExpired();

  // Whether the marker that switches the whole firewall off is there: one
  // stat, of a path made once.
  bool disabledMarkerExists() const;
  const std::string& disabledMarkerPath() const { return disabledMarkerPath_; }

  KstFlags& flags() const { return *env_.flags; }
  const KstStoreEnv& env() const { return env_; }
  RunLoop& mainLoop() const;

 private:
  // Each reads its part whole, lowering `expiry` to the earliest expiry of
  // a rule it keeps; the mirrors not in a rule set are set on the way.
  AppRuleSet relayAppReload(const std::string& bundleId, double& expiry);
  AppRuleSet fileAppReload(const std::string& bundleId, double& expiry);
  GlobalRuleSet relayGlobalReload(double& expiry);
  GlobalRuleSet fileGlobalReload(double& expiry);
  // Publish a new rule set with one part replaced (the application's is
  // null for a process without a bundle identifier).
  void publishAppRules(std::shared_ptr<const AppRuleSet> app);
  void publishGlobalRules(std::shared_ptr<const GlobalRuleSet> global);

  KstStoreEnv env_;
  const std::string disabledMarkerPath_;
  std::atomic<bool> reloadDeferred_{false};

  SharedField<std::string> appName_;
  SharedField<std::string> basicString_;
  SharedField<std::string> currentBundleIdentifier_;
  SharedField<plist::Dictionary> plistDictionary_;
  SharedField<std::string> allowEverything_;
  SharedField<RuleList> allowArray_;
  SharedField<RuleList> denyArray_;
  SharedField<plist::Dictionary> mutableDicOfCurrentBundleIdentifier_;
  SharedField<plist::Dictionary> globalRulesDic_;
  SharedField<RuleList> globalAllowArray_;
  SharedField<RuleList> globalDenyArray_;
  SharedField<StringList> whiteListArray_;
  SharedField<bool> aTheme_;
  SharedField<RuleSet> ruleSet_;

  HostNames hostNames_;
  SessionAnswerStore session_;
  UrlCapture urls_;

  NetworkWatch networkWatch_;

  // The earliest expiry among the rules held, per part (main queue only)
  // and published for readers on any thread.
  void publishRuleExpiry();
  double appRuleExpiry_ = std::numeric_limits<double>::infinity();
  double globalRuleExpiry_ = std::numeric_limits<double>::infinity();
  std::atomic<double> nextRuleExpiry_{std::numeric_limits<double>::infinity()};
};

// The rule texts of an array of rule entries, in order. An element that is
// not a dictionary, or whose "rule" is missing or not a string, contributes
// no text, and neither does a rule that expired by `now`; the earliest
// expiry still ahead lowers `*earliestExpiry`.
StringList ruleTexts(const plist::Array* entries, plist::Date now = plist::Date::now(),
                     double* earliestExpiry = nullptr);

// The process's settings manager; null until created.
KstSettingsManager* settingsManagerKst();
// Creates the process's manager when there is none yet, and returns it.
KstSettingsManager& ensureSettingsManagerKst();
// How the process's manager will be made: its relay and whether it keeps
// its own host-name map. Only before the manager exists (the hook library's
// start-up); later calls change nothing.
void configureProcessSettingsManager(RulesRelay* relay, bool ownHostMap);

}  // namespace kst

// Exported plain functions: each creates the process's manager first when
// there is none. reloadBoth reloads the global settings, then the app's.
extern "C" void reloadData();
extern "C" void reloadGlobal();
extern "C" void reloadBoth();
// Exported: logThisApp on the process's manager. Nothing in the library
// calls it.
extern "C" void logNotification(const char* app, const char* host, const char* port, const char* what);
