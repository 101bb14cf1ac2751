#include "hook/store/KstSettingsManager.h"

#include "hook/rules/CBoundary.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <sstream>

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/BasicString.h"
#include "hook/store/RuleExpiry.h"
#include "platform/plist/PlistFile.h"

namespace kst {

namespace {

constexpr std::string_view kSpringBoardId = "com.apple.springboard";

template <class T>
std::shared_ptr<const T> share(T value) {
  return std::make_shared<const T>(std::move(value));
}

StringList stringsOf(const plist::Array* array) {
  StringList out;
  if (array == nullptr) return out;
  out.reserve(array->size());
  for (const plist::Value& v : *array)
    if (const std::string* s = v.asString()) out.push_back(*s);
  return out;
}

// The rules of a list that have not expired; `earliest` is lowered to the
// first expiry still ahead.
std::shared_ptr<const RuleList> rulesOf(const plist::Dictionary& dict, std::string_view key,
                                        double& earliest) {
  return RuleList::make(ruleTexts(dict.array(key), plist::Date::now(), &earliest));
}

// A text value of a file or reply, or `fallback` when it is missing or of
// another type.
std::string textOr(const plist::Dictionary& dict, std::string_view key, std::string_view fallback) {
  const std::string* s = dict.string(key);
  return s != nullptr ? *s : std::string(fallback);
}

// Renders a value the way the description shows collections.
void describe(std::ostream& out, const plist::Value& v);

void describe(std::ostream& out, const plist::Dictionary& d) {
  out << "{";
  for (const auto& [key, value] : d.entries()) {
    out << " " << key << " = ";
    describe(out, value);
    out << ";";
  }
  out << " }";
}

void describe(std::ostream& out, const plist::Value& v) {
  using T = plist::Value::Type;
  switch (v.type()) {
    case T::kString:
      out << '"' << *v.asString() << '"';
      break;
    case T::kInteger:
      out << *v.asInteger();
      break;
    case T::kReal:
      out << *v.asReal();
      break;
    case T::kBoolean:
      out << (*v.asBoolean() ? 1 : 0);
      break;
    case T::kDate:
      out << "<date " << v.asDate()->secondsSinceReference << ">";
      break;
    case T::kData:
      out << "<" << v.asData()->size() << " bytes>";
      break;
    case T::kArray: {
      out << "(";
      bool first = true;
      for (const auto& item : *v.asArray()) {
        out << (first ? " " : ", ");
        describe(out, item);
        first = false;
      }
      out << " )";
      break;
    }
    case T::kDictionary:
      describe(out, *v.asDictionary());
      break;
  }
}

template <class P>
std::string describePtr(const P& p) {
  if (!p) return "(null)";
  std::ostringstream out;
  describe(out, plist::Value(*p));
  return out.str();
}

std::string describeList(const std::shared_ptr<const RuleList>& list) {
  if (!list) return "(null)";
  plist::Array a;
  for (const auto& r : list->rules()) a.emplace_back(r);
  std::ostringstream out;
  describe(out, plist::Value(std::move(a)));
  return out.str();
}

std::string describeStrings(const std::shared_ptr<const StringList>& list) {
  if (!list) return "(null)";
  plist::Array a;
  for (const auto& r : *list) a.emplace_back(r);
  std::ostringstream out;
  describe(out, plist::Value(std::move(a)));
  return out.str();
}

std::string textOrNull(const std::shared_ptr<const std::string>& s) {
  return s ? *s : "(null)";
}

}  // namespace

StringList ruleTexts(const plist::Array* entries, plist::Date now, double* earliestExpiry) {
  StringList out;
  if (entries == nullptr) return out;
  out.reserve(entries->size());
  for (const plist::Value& entry : *entries) {
    const plist::Dictionary* d = entry.asDictionary();
    if (d == nullptr) continue;
    if (const std::optional<double> expiry = ruleExpiry(*d)) {
      if (*expiry <= now.secondsSinceReference) continue;
      if (earliestExpiry != nullptr && *expiry < *earliestExpiry) *earliestExpiry = *expiry;
    }
    if (const std::string* rule = d->string(files::kRuleKey)) out.push_back(*rule);
  }
  return out;
}

bool KstSettingsManager::rulesExpired() const {
  return plist::Date::now().secondsSinceReference >= nextRuleExpiry_.load(std::memory_order_relaxed);
}

void KstSettingsManager::reloadIfRulesExpired() {
  if (!rulesExpired()) return;
  reloadGlobalSettings();
  reloadAppSettings();
}

void KstSettingsManager::publishRuleExpiry() {
  nextRuleExpiry_.store(std::min(appRuleExpiry_, globalRuleExpiry_), std::memory_order_relaxed);
}

KstSettingsManager::KstSettingsManager(KstStoreEnv env)
    : env_(std::move(env)),
      disabledMarkerPath_(env_.root.path(files::kDisabledMarkerPath)),
      hostNames_(env_),
      networkWatch_(*env_.flags) {}

bool KstSettingsManager::disabledMarkerExists() const {
  return env_.fs->exists(disabledMarkerPath_);
}

KstSettingsManager::~KstSettingsManager() = default;

RunLoop& KstSettingsManager::mainLoop() const {
  return env_.mainLoop != nullptr ? *env_.mainLoop : mainQueue();
}

void KstSettingsManager::setCurrentBundleIdentifier(std::string v) {
  currentBundleIdentifier_.set(share(std::move(v)));
}

void KstSettingsManager::reloadAppSettings() {
  RunLoop& loop = mainLoop();
  if (loop.isLoopThread()) {
    reallyReloadAppSettings();
  } else {
    loop.performAndWait([this] { reallyReloadAppSettings(); });
  }
}

void KstSettingsManager::reloadGlobalSettings() {
  RunLoop& loop = mainLoop();
  if (loop.isLoopThread()) {
    reallyReloadGlobalSettings();
  } else {
    loop.performAndWait([this] { reallyReloadGlobalSettings(); });
  }
}

void KstSettingsManager::deferReload() {
  reloadDeferred_.store(true, std::memory_order_release);
}

void KstSettingsManager::reloadIfDeferred() {
  if (!reloadDeferred_.load(std::memory_order_acquire)) return;
  std::exception_ptr failure;
  auto reloadOnce = [this, &failure] {
    // Cleared only after both reloads: a caller that finds it clear finds
    // the settings read.
    if (!reloadDeferred_.load(std::memory_order_acquire)) return;
    try {
      reallyReloadAppSettings();
      reallyReloadGlobalSettings();
      reloadDeferred_.store(false, std::memory_order_release);
    } catch (...) {
      // Memory exhausted, most likely: nothing may leave the main queue's
      // thread. The reload stays deferred, for the next call to try again,
      // and this caller learns of the failure on its own thread.
      failure = std::current_exception();
    }
  };
  RunLoop& loop = mainLoop();
  if (loop.isLoopThread()) {
    reloadOnce();
  } else {
    loop.performAndWait(reloadOnce);
  }
  if (failure) std::rethrow_exception(failure);
}

void KstSettingsManager::reallyReloadAppSettings() {
  // The part is built whole, then published with one swap; the named fields
  // and flags below are its mirrors. A reload that fails half-way publishes
  // nothing: decisions keep the previous whole set.
  if (!basicString_.get()) basicString_.set(share(buildBasicString()));

  std::shared_ptr<const std::string> bundleId = currentBundleIdentifier_.get();
  if (!bundleId) {
    // A process the firewall does not judge: its hooks will find the lists
    // unset and ask for another reload.
    allowEverything_.reset();
    allowArray_.reset();
    denyArray_.reset();
    whiteListArray_.reset();
    mutableDicOfCurrentBundleIdentifier_.reset();
    publishAppRules(nullptr);
    return;
  }
  if (*bundleId == kSpringBoardId) set(flags().isSpringBoard, true);

  double expiry = kNeverExpires;
  auto app = std::make_shared<const AppRuleSet>(
      get(flags().alternativeLoading) ? relayAppReload(*bundleId, expiry) : fileAppReload(*bundleId, expiry));
  KstFlags& f = flags();
  set(f.bundleExistsInPlist, app->inRulesFile);
  set(f.useDetailedRules, app->detailedRules);
  allowEverything_.set(app->allowEverything);
  allowArray_.set(app->allow);
  denyArray_.set(app->deny);
  whiteListArray_.set(app->whiteList);
  publishAppRules(std::move(app));
  appRuleExpiry_ = expiry;
  publishRuleExpiry();
}

AppRuleSet KstSettingsManager::relayAppReload(const std::string& bundleId, double& expiry) {
  KstFlags& f = flags();
  plist::Dictionary question{{std::string(msg::kBundleIdKey), plist::Value(bundleId)}};
  plist::Dictionary reply =
      env_.relay != nullptr ? env_.relay->sendAndWait(msg::kStdRules, &question) : plist::Dictionary();

  AppRuleSet app;
  app.whiteList = share(stringsOf(reply.array(msg::kWhiteListArrayKey)));
  const std::string* empty = reply.string(msg::kEmptyKey);
  if (empty != nullptr && *empty == msg::kEmptyValue) {
    app.allowEverything = share(std::string(files::kNeitherEverything));
    app.allow = RuleList::empty();
    app.deny = RuleList::empty();
    set(f.blockSpecificWiFi, false);
    set(f.isKstEnabled, true);
    mutableDicOfCurrentBundleIdentifier_.set(share(plist::Dictionary()));
    return app;
  }

  app.inRulesFile = true;
  app.detailedRules = plist::boolValue(reply.find(msg::kShouldUseDetailedRulesKey));
  app.allowEverything = share(textOr(reply, msg::kAllowEverythingKey, files::kNeitherEverything));
  app.allow = rulesOf(reply, msg::kAllowArrayKey, expiry);
  app.deny = rulesOf(reply, msg::kDenyArrayKey, expiry);
  set(f.isKstEnabled, plist::boolValue(reply.find(msg::kEnabledKey), true));
  networkWatch_.applySwitch(plist::boolValue(reply.find(msg::kBlockSpecificWifiKey)), f.blockSpecificWiFi);
  const plist::Dictionary* entry = reply.dictionary(msg::kMutableDicKey);
  mutableDicOfCurrentBundleIdentifier_.set(share(entry != nullptr ? *entry : plist::Dictionary()));
  return app;
}

AppRuleSet KstSettingsManager::fileAppReload(const std::string& bundleId, double& expiry) {
  KstFlags& f = flags();
  const std::string rulesPath = env_.root.path(files::kRulesPath);
  set(f.plistExists, env_.fs->exists(rulesPath));
  std::optional<plist::Dictionary> rules = plist::readDictionaryFile(*env_.fs, rulesPath);
  auto file = share(rules ? std::move(*rules) : plist::Dictionary());
  std::optional<plist::Dictionary> white =
      plist::readDictionaryFile(*env_.fs, env_.root.path(files::kWhiteListPath));

  AppRuleSet app;
  app.whiteList = share(white ? stringsOf(white->array(files::kWhiteListKey)) : StringList());
  if (const plist::Dictionary* entry = file->dictionary(bundleId)) {
    app.inRulesFile = true;
    app.detailedRules = plist::boolValue(entry->find(files::kStillUseRulesKey));
    app.allowEverything = share(textOr(*entry, files::kAllowEverythingKey, ""));
    app.allow = rulesOf(*entry, files::kAllowKey, expiry);
    app.deny = rulesOf(*entry, files::kDenyKey, expiry);
    mutableDicOfCurrentBundleIdentifier_.set(share(*entry));
    set(f.isKstEnabled, plist::boolValue(entry->find(files::kEnabledKey), true));
    networkWatch_.applySwitch(plist::boolValue(entry->find(files::kBlockSpecificWiFiKey)),
                              f.blockSpecificWiFi);
  } else {
    app.allowEverything = share(std::string());
    app.allow = RuleList::empty();
    app.deny = RuleList::empty();
    mutableDicOfCurrentBundleIdentifier_.set(share(plist::Dictionary()));
    set(f.isKstEnabled, true);
    set(f.blockSpecificWiFi, false);
  }
  plistDictionary_.set(std::move(file));
  return app;
}

void KstSettingsManager::reallyReloadGlobalSettings() {
  double expiry = kNeverExpires;
  auto global = std::make_shared<const GlobalRuleSet>(
      get(flags().alternativeLoading) ? relayGlobalReload(expiry) : fileGlobalReload(expiry));
  globalAllowArray_.set(global->allow);
  globalDenyArray_.set(global->deny);
  set(flags().respectGlobal, global->respectGlobal);
  publishGlobalRules(std::move(global));
  globalRuleExpiry_ = expiry;
  publishRuleExpiry();
}

GlobalRuleSet KstSettingsManager::relayGlobalReload(double& expiry) {
  KstFlags& f = flags();
  plist::Dictionary reply =
      env_.relay != nullptr ? env_.relay->sendAndWait(msg::kGlobalRules, nullptr) : plist::Dictionary();

  GlobalRuleSet global;
  if (reply.contains(msg::kEmptyKey)) {
    global.allow = RuleList::empty();
    global.deny = RuleList::empty();
    set(f.logging, false);
    aTheme_.set(share(false));
    set(f.blockNonWiFi, false);
    globalRulesDic_.set(share(plist::Dictionary()));
    return global;
  }

  // Compiling a large list happens here, outside every lock.
  global.allow = rulesOf(reply, msg::kGlobalAllowArrayKey, expiry);
  global.deny = rulesOf(reply, msg::kGlobalDenyArrayKey, expiry);
  global.respectGlobal = plist::boolValue(reply.find(msg::kRespectGlobalKey));
  set(f.useBackgroundedHostresolutionKst, !plist::boolValue(reply.find(msg::kAdvancedHostnameResolutionKey)));
  set(f.logging, plist::boolValue(reply.find(msg::kLoggingKey)));
  if (const plist::Value* theme = reply.find(msg::kThemeNumberKey)) {
    aTheme_.set(share(plist::boolValue(theme)));
  } else {
    aTheme_.reset();
  }
  const plist::Value* block = reply.find(msg::kBlockNonWiFiKey);
  const bool blockOn = block != nullptr && block->asBoolean() != nullptr && *block->asBoolean();
  if (blockOn) {
    networkWatch_.applySwitch(true, f.blockNonWiFi);
  } else {
    set(f.blockNonWiFi, false);
  }
  // Moved, not copied: with a blocklist it is the largest value of all.
  plist::Value* dict = reply.find(msg::kGlobalRulesDicKey);
  globalRulesDic_.set(share(dict != nullptr && dict->asDictionary() != nullptr
                                ? std::move(*dict->asDictionary())
                                : plist::Dictionary()));
  return global;
}

GlobalRuleSet KstSettingsManager::fileGlobalReload(double& expiry) {
  KstFlags& f = flags();
  std::optional<plist::Dictionary> file =
      plist::readDictionaryFile(*env_.fs, env_.root.path(files::kGlobalRulesPath));
  auto dict = share(file ? std::move(*file) : plist::Dictionary());

  // Compiling a large list happens here, outside every lock.
  GlobalRuleSet global;
  global.allow = rulesOf(*dict, files::kGlobalAllowKey, expiry);
  global.deny = rulesOf(*dict, files::kGlobalDenyKey, expiry);
  global.respectGlobal = plist::boolValue(dict->find(files::kRespectGlobalKey));
  set(f.useBackgroundedHostresolutionKst,
      !plist::boolValue(dict->find(files::kAdvancedHostnameResolutionKey)));
  set(f.logging, plist::boolValue(dict->find(files::kLogKey)));
  networkWatch_.applySwitch(plist::boolValue(dict->find(files::kBlockNonWiFiKey)), f.blockNonWiFi);
  const std::string* theme = dict->string(files::kThemeKey);
  aTheme_.set(share(theme != nullptr && *theme == files::kBlueTheme));
  globalRulesDic_.set(std::move(dict));
  return global;
}

// Reloads run on the main queue only, so the read-modify-write of the set
// needs no more than the field's own lock.
void KstSettingsManager::publishAppRules(std::shared_ptr<const AppRuleSet> app) {
  ruleSet_.update([&](const RuleSet* old) {
    RuleSet next = old != nullptr ? *old : RuleSet();
    next.app = std::move(app);
    next.builtInHost = basicString_.get();
    next.bundleId = currentBundleIdentifier_.get();
    return std::make_shared<const RuleSet>(std::move(next));
  });
}

void KstSettingsManager::publishGlobalRules(std::shared_ptr<const GlobalRuleSet> global) {
  ruleSet_.update([&](const RuleSet* old) {
    RuleSet next = old != nullptr ? *old : RuleSet();
    next.global = std::move(global);
    return std::make_shared<const RuleSet>(std::move(next));
  });
}

void KstSettingsManager::doHostStuff(std::string_view name) {
  hostNames_.doHostStuff(name);
}

std::optional<plist::Dictionary> KstSettingsManager::getIPDictionary(std::string_view address) {
  return hostNames_.getIPDictionary(address);
}

std::optional<std::string> KstSettingsManager::lastHostNameForAddress(std::string_view address) {
  return hostNames_.lastHostNameForAddress(address);
}

void KstSettingsManager::clearHostMap() {
  hostNames_.clear();
}

std::string KstSettingsManager::urlForHost(std::string_view host) {
  return urls_.urlForHost(host);
}

bool KstSettingsManager::needsAppReload() const {
  return !currentBundleIdentifier_.present() || !allowArray_.present() || !denyArray_.present() ||
         !allowEverything_.present() || !basicString_.present();
}

void KstSettingsManager::addTempAllowRule(std::string rule) {
  session_.addAllowRule(std::move(rule));
}

void KstSettingsManager::addTempDenyRule(std::string rule) {
  session_.addDenyRule(std::move(rule));
}

void KstSettingsManager::clearTempAnswers() {
  session_.clear(std::string(files::kNeitherEverything));
}

void KstSettingsManager::appendUrl(std::string url, bool createIfMissing) {
  urls_.append(std::move(url), createIfMissing);
}

std::shared_ptr<const plist::Dictionary> KstSettingsManager::updateMutableDicOfCurrentBundleIdentifier(
    const std::function<plist::Dictionary(const plist::Dictionary*)>& change) {
  return mutableDicOfCurrentBundleIdentifier_.update(
      [&](const plist::Dictionary* old) { return share(change(old)); });
}

std::shared_ptr<const plist::Dictionary> KstSettingsManager::updateGlobalRulesDic(
    const std::function<plist::Dictionary(const plist::Dictionary*)>& change) {
  return globalRulesDic_.update([&](const plist::Dictionary* old) { return share(change(old)); });
}

void KstSettingsManager::setGlobalRulesDic(plist::Dictionary dict) {
  globalRulesDic_.set(share(std::move(dict)));
}

std::string KstSettingsManager::description() const {
  std::ostringstream out;
  out << "\n appName " << textOrNull(appName()) << "\n basicString " << textOrNull(basicString())
      << "\n urlArray " << describeStrings(urlArray()) << "\n currentBundleIdentifier "
      << textOrNull(currentBundleIdentifier()) << "\n plistDictionary " << describePtr(plistDictionary())
      << "\n ipDictionary "
      << "(null)"
      << "\n tempAllowArray " << describeList(tempAllowArray()) << "\n tempDenyArray "
      << describeList(tempDenyArray()) << "\n allowEverything " << textOrNull(allowEverything())
      << "\n allowArray " << describeList(allowArray()) << "\n denyArray " << describeList(denyArray())
      << "\n mutableDicOfCurrentBundleIdentifier " << describePtr(mutableDicOfCurrentBundleIdentifier())
      << "\n globalRulesDic " << describePtr(globalRulesDic()) << "\n globalAllowArray "
      << describeList(globalAllowArray()) << "\n globalDenyArray " << describeList(globalDenyArray())
      << "\n whiteListArray " << describeStrings(whiteListArray()) << "\n tempAllowAllString "
      << textOrNull(tempAllowAllString()) << "\n aTheme " << (aTheme() ? (*aTheme() ? "1" : "0") : "(null)");
  return out.str();
}

namespace {
std::atomic<KstSettingsManager*> gManager{nullptr};
RulesRelay* gProcessRelay = nullptr;
bool gProcessOwnHostMap = false;
std::mutex& managerMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}
}  // namespace

KstSettingsManager* settingsManagerKst() {
  return gManager.load(std::memory_order_acquire);
}

KstSettingsManager& ensureSettingsManagerKst() {
  if (KstSettingsManager* m = gManager.load(std::memory_order_acquire)) return *m;
  std::lock_guard<std::mutex> lock(managerMutex());
  if (KstSettingsManager* m = gManager.load(std::memory_order_acquire)) return *m;
  // Lives as long as the process: hooks may use it after static destructors.
  KstStoreEnv env;
  env.relay = gProcessRelay;
  env.ownHostMap = gProcessOwnHostMap;
  auto* m = new KstSettingsManager(env);
  gManager.store(m, std::memory_order_release);
  return *m;
}

void configureProcessSettingsManager(RulesRelay* relay, bool ownHostMap) {
  std::lock_guard<std::mutex> lock(managerMutex());
  if (gManager.load(std::memory_order_acquire) != nullptr) return;
  gProcessRelay = relay;
  gProcessOwnHostMap = ownHostMap;
}

}  // namespace kst

extern "C" void reloadData() {
  kst::atCBoundary("reloadData", [] { kst::ensureSettingsManagerKst().reloadAppSettings(); });
}

extern "C" void reloadGlobal() {
  kst::atCBoundary("reloadGlobal", [] { kst::ensureSettingsManagerKst().reloadGlobalSettings(); });
}

extern "C" void reloadBoth() {
  kst::atCBoundary("reloadBoth", [] {
    kst::KstSettingsManager& m = kst::ensureSettingsManagerKst();
    m.reloadGlobalSettings();
    m.reloadAppSettings();
  });
}
