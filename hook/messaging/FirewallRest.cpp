#include "hook/messaging/FirewallRest.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "hook/messaging/KstServiceEnv.h"
#include "hook/messaging/MessageValues.h"
#include "hook/messaging/MessagingSBS.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/RuleExpiry.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistFile.h"

namespace kst {

std::atomic<int> whatToDoTCP{0};
std::atomic<int> ANDDoTCP{0};
std::atomic<int> portToDoTCP{0};
std::atomic<int> ANDDoPortTCP{0};
std::atomic<int> whatToDoUDP{0};
std::atomic<int> ANDDoUDP{0};
std::atomic<int> portToDoUDP{0};
std::atomic<int> ANDDoPortUDP{0};

namespace {

// Long enough not to load SpringBoard's main thread, which keeps the prompt
// responsive; short enough that nobody notices the wait.
constexpr auto kShowingWindowPollPause = std::chrono::milliseconds(50);
// SpringBoard keeps its questions in line itself: polling longer would only
// leave this asker out of the line while the prompts of others follow one
// another, each ending in a moment that a poll rarely catches.
constexpr auto kShowingWindowPollLimit = std::chrono::seconds(2);

std::mutex& writerMutex() {
  static std::mutex* mu = new std::mutex();  // used by hooks after static destructors
  return *mu;
}

plist::Dictionary ruleEntry(std::string text) {
  return plist::Dictionary{{std::string(files::kRuleKey), plist::Value(std::move(text))},
                           {std::string(files::kDateKey), plist::Value(plist::Date::now())}};
}

// `dict[key]` with `entry` appended in place; a missing (or mistyped) list
// starts empty.
void appendRule(plist::Dictionary& dict, std::string_view key, std::string text) {
  plist::Value* list = dict.find(key);
  if (list != nullptr && list->asArray() != nullptr) {
    list->asArray()->emplace_back(ruleEntry(std::move(text)));
    return;
  }
  dict.set(std::string(key), plist::Value(plist::Array{plist::Value(ruleEntry(std::move(text)))}));
}

// One line for an answer that applies to the connection but is not stored.
void logNotStored(std::string_view what) {
  ::syslog(LOG_WARNING, "Kestrix: the current %.*s could not be read again; the answer is not stored",
           static_cast<int>(what.size()), what.data());
}

void ensureMarker(plist::Dictionary& dict) {
  if (!dict.contains(files::kMarkerKey)) dict.set(std::string(files::kMarkerKey), true);
}

// An application's entry as an asker sent it, merged with the one the file
// holds now. The asker sent the entry as it read it plus its one answer;
// answers of other processes of the application written since that read
// must survive: the sent values win, the file's other keys stay, and the
// file's rules missing from a sent list are kept after the sent ones.
plist::Dictionary mergedEntry(const plist::Dictionary& current, const plist::Dictionary& sent) {
  plist::Dictionary merged = sent;
  for (const auto& [key, value] : current.entries()) {
    plist::Value* mine = merged.find(key);
    if (mine == nullptr) {
      merged.set(key, value);
      continue;
    }
    if (key != files::kAllowKey && key != files::kDenyKey) continue;
    plist::Array* list = mine->asArray();
    const plist::Array* theirs = value.asArray();
    if (list == nullptr || theirs == nullptr) continue;
    const std::size_t sentCount = list->size();
    for (const plist::Value& rule : *theirs)
      if (std::find(list->begin(), list->begin() + static_cast<std::ptrdiff_t>(sentCount), rule) ==
          list->begin() + static_cast<std::ptrdiff_t>(sentCount))
        list->push_back(rule);
  }
  return merged;
}

}  // namespace

struct FirewallRest::Transport {
  bool udp;
  std::string_view service;
  std::string_view message;
  std::atomic<int>& whatToDo;
  std::atomic<int>& andDo;
  std::atomic<int>& portToDo;
  std::atomic<int>& andDoPort;
};

FirewallRest::FirewallRest(KstSettingsManager& manager) : manager_(manager) {}

bool FirewallRest::inSpringBoard() const {
  return get(manager_.flags().isSpringBoard);
}

// --- Requests -------------------------------------------------------------

KstPopUpAnswer FirewallRest::createTCPViewWithHostString(const std::optional<std::string>& host,
                                                         const std::optional<std::string>& port,
                                                         const std::optional<std::string>& bundleIdentifier,
                                                         const std::optional<std::string>& url,
                                                         const std::optional<std::string>& name) {
  static const Transport kTcp{false,       msg::kWindowService, msg::kMessageForWindow, whatToDoTCP, ANDDoTCP,
                              portToDoTCP, ANDDoPortTCP};
  return request(kTcp, host, port, bundleIdentifier, url, name);
}

KstPopUpAnswer FirewallRest::createUDPViewWithHostString(const std::optional<std::string>& host,
                                                         const std::optional<std::string>& port,
                                                         const std::optional<std::string>& bundleIdentifier,
                                                         const std::optional<std::string>& url,
                                                         const std::optional<std::string>& name) {
  static const Transport kUdp{
      true,        msg::kWindowUDPService, msg::kMessageForWindowUDP, whatToDoUDP, ANDDoUDP, portToDoUDP,
      ANDDoPortUDP};
  return request(kUdp, host, port, bundleIdentifier, url ? url : std::optional<std::string>(msg::kNoUrl),
                 name);
}

KstPopUpAnswer FirewallRest::request(const Transport& transport, const std::optional<std::string>& host,
                                     const std::optional<std::string>& port,
                                     const std::optional<std::string>& bundleIdentifier,
                                     const std::optional<std::string>& url,
                                     const std::optional<std::string>& name) {
  waitWhilePromptShows(transport);
  const int orientation = orientationCode(askOrientation(transport));
  std::optional<bool> theme;
  if (std::shared_ptr<const bool> aTheme = manager_.aTheme()) theme = *aTheme;
  const plist::Dictionary question =
      questionDictionary(host, port, orientation, name, theme, url, bundleIdentifier);

  const plist::Dictionary reply = ask(transport, question);
  KstPopUpAnswer answer;
  answer.whatToDo = msg::clampToInt(msg::integerValue(&reply, msg::kWhatToDoKey).value_or(0));
  answer.andToDo = msg::clampToInt(msg::integerValue(&reply, msg::kAndToDoKey).value_or(0));
  answer.portToDo = msg::clampToInt(msg::integerValue(&reply, msg::kPortToDoKey).value_or(0));
  answer.host = msg::stringValue(&reply, msg::kHostKey);
  answer.answered = reply.find(msg::kWhatToDoKey) != nullptr;

  transport.whatToDo.store(answer.whatToDo, std::memory_order_relaxed);
  transport.andDo.store(answer.andToDo, std::memory_order_relaxed);
  transport.portToDo.store(answer.portToDo, std::memory_order_relaxed);
  transport.andDoPort.store(answer.portToDo, std::memory_order_relaxed);

  dispatch(transport, answer, port, bundleIdentifier);
  return answer;
}

void FirewallRest::waitWhilePromptShows(const Transport& transport) {
  if (inSpringBoard()) {
    // SpringBoard asks itself nothing: a waiting send from its main thread
    // to its own service could never be answered. On the main thread the
    // pause runs the loop, so that the prompt on screen can finish.
    RunLoop& loop = manager_.mainLoop();
    while (get(manager_.flags().isShowingWindow)) {
      if (loop.isLoopThread()) {
        loop.runFor(Seconds(kShowingWindowPollPause));
      } else {
        std::this_thread::sleep_for(kShowingWindowPollPause);
      }
    }
    return;
  }
  auto center = MessagingCenter::centerNamed(std::string(transport.service), manager_.env().root);
  const auto giveUp = std::chrono::steady_clock::now() + kShowingWindowPollLimit;
  for (;;) {
    const plist::Dictionary reply =
        center->sendMessageAndReceiveReply(std::string(msg::kIsShowingWindow), nullptr);
    // An unreachable SpringBoard reads as "no prompt", which ends the wait.
    if (!msg::numberAsBool(&reply, msg::kIsShowingWindowKey).value_or(false)) return;
    if (std::chrono::steady_clock::now() >= giveUp) return;
    std::this_thread::sleep_for(kShowingWindowPollPause);
  }
}

int FirewallRest::askOrientation(const Transport& transport) {
  // No application here has a status bar of its own, so the orientation is
  // always the device's.
  if (inSpringBoard()) return deviceOrientation();
  auto center = MessagingCenter::centerNamed(std::string(transport.service), manager_.env().root);
  const plist::Dictionary reply =
      center->sendMessageAndReceiveReply(std::string(msg::kGetDeviceOrientation), nullptr);
  return msg::clampToInt(msg::integerValue(&reply, msg::kDeviceOrientationKey).value_or(0));
}

plist::Dictionary FirewallRest::ask(const Transport& transport, const plist::Dictionary& question) {
  if (!inSpringBoard()) {
    // The person may take their time; a shell that dies or never takes the
    // question lets the thread go.
    auto center = MessagingCenter::centerNamed(std::string(transport.service), manager_.env().root);
    return center->sendQuestionAndReceiveReply(std::string(transport.message), &question);
  }
  // The prompt is a window on SpringBoard's main queue: the question waits
  // its turn in SpringBoard's line, whichever thread asked.
  KstServiceEnv env;
  env.root = manager_.env().root;
  env.fs = manager_.env().fs;
  env.flags = &manager_.flags();
  RunLoop& loop = manager_.mainLoop();
  if (transport.udp) return MessagingSBSUDP(env).handleInSpringBoardWithUserInfo(&question, &loop);
  return MessagingSBS(env).handleInSpringBoardWithUserInfo(&question, &loop);
}

void FirewallRest::dispatch(const Transport& transport, const KstPopUpAnswer& answer,
                            const std::optional<std::string>& port,
                            const std::optional<std::string>& bundleIdentifier) {
  const bool appCode = answer.whatToDo >= msg::alwaysAllow && answer.whatToDo <= msg::denyAll;
  const bool globalCode = answer.whatToDo == msg::globalAllow || answer.whatToDo == msg::globalDeny;
  if (!appCode && !globalCode) return;
  // Without the values a rule is made of there is nothing to write; the
  // system's own prompt always gives them.
  const std::string portText = port.value_or(std::string());
  const std::string bundleId = bundleIdentifier.value_or(std::string());
  if (appCode && !bundleIdentifier) return;
  if (answer.whatToDo == msg::allowAll) return allowAll(bundleId);
  if (answer.whatToDo == msg::denyAll) return denyAll(bundleId);
  if (!answer.host || (answer.portToDo == msg::kOnlyThisPort && !port)) return;
  const std::string& host = *answer.host;
  const int a = answer.andToDo;
  const int p = answer.portToDo;
  switch (answer.whatToDo) {
    case msg::alwaysAllow:
      return transport.udp ? alwaysAllowUDP(a, host, bundleId, portText, p)
                           : alwaysAllowTCP(a, host, bundleId, portText, p);
    case msg::alwaysDeny:
      return transport.udp ? alwaysDenyUDP(a, host, bundleId, portText, p)
                           : alwaysDenyTCP(a, host, bundleId, portText, p);
    case msg::globalAllow:
      return transport.udp ? globalAllowUDP(a, host, portText, p, bundleId)
                           : globalAllowTCP(a, host, portText, p, bundleId);
    case msg::globalDeny:
      return transport.udp ? globalDenyUDP(a, host, portText, p, bundleId)
                           : globalDenyTCP(a, host, portText, p, bundleId);
    default:
      return;
  }
}

// --- Question and rule texts ----------------------------------------------

plist::Dictionary FirewallRest::questionDictionary(
    const std::optional<std::string>& host, const std::optional<std::string>& port,
    std::optional<int> orientation, const std::optional<std::string>& displayName, std::optional<bool> theme,
    const std::optional<std::string>& url, const std::optional<std::string>& bundleIdentifier) {
  // The receiver's dictionary was built from a list that ends at its first
  // missing value; the keys after a missing one are lost with it.
  plist::Dictionary q;
  auto put = [&q](std::string_view key, const auto& value) {
    if (!value) return false;
    q.set(std::string(key), plist::Value(*value));
    return true;
  };
  (void)(put(msg::kHostKey, host) && put(msg::kPortKey, port) && put(msg::kOrientationKey, orientation) &&
         put(msg::kDisplayNameKey, displayName) && put(msg::kThemeKey, theme) && put(msg::kUrlKey, url) &&
         put(msg::kBundleIdentifierKey, bundleIdentifier));
  return q;
}

std::optional<std::string> FirewallRest::ruleText(int andToDo, std::string_view host, std::string_view port,
                                                  int portAction) {
  std::string text;
  switch (andToDo) {
    case msg::kHostAsIs:
      break;
    case msg::kHostStar:
      text = "*";
      break;
    case msg::kHostStarDot:
      text = "*.";
      break;
    default:
      return std::nullopt;
  }
  text += host;
  if (portAction == msg::kOnlyThisPort) {
    text += ":";
    text += port;
  }
  return text;
}

int FirewallRest::orientationCode(int deviceOrientation) {
  switch (deviceOrientation) {
    case 2:
      return 3;  // portrait upside down
    case 3:
      return 1;
    case 4:
      return 2;
    default:
      return 0;  // portrait, face up or down, unknown
  }
}

// --- Writers ----------------------------------------------------------------

void FirewallRest::alwaysAllowTCP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                                  const std::string& port, int portAction) {
  appListWrite(files::kAllowKey, andToDo, host, bundleIdentifier, port, portAction);
}

void FirewallRest::alwaysAllowUDP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                                  const std::string& port, int portAction) {
  appListWrite(files::kAllowKey, andToDo, host, bundleIdentifier, port, portAction);
}

void FirewallRest::alwaysDenyTCP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                                 const std::string& port, int portAction) {
  appListWrite(files::kDenyKey, andToDo, host, bundleIdentifier, port, portAction);
}

void FirewallRest::alwaysDenyUDP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                                 const std::string& port, int portAction) {
  appListWrite(files::kDenyKey, andToDo, host, bundleIdentifier, port, portAction);
}

void FirewallRest::allowAll(const std::string& bundleIdentifier) {
  allConnectionsWrite(files::kAllowEverything, bundleIdentifier);
}

void FirewallRest::denyAll(const std::string& bundleIdentifier) {
  allConnectionsWrite(files::kDenyEverything, bundleIdentifier);
}

void FirewallRest::globalAllowTCP(int andToDo, const std::string& host, const std::string& port,
                                  int portAction, const std::string& /*currentBI*/) {
  globalListWrite(files::kGlobalAllowKey, andToDo, host, port, portAction);
}

void FirewallRest::globalAllowUDP(int andToDo, const std::string& host, const std::string& port,
                                  int portAction, const std::string& /*currentBI*/) {
  globalListWrite(files::kGlobalAllowKey, andToDo, host, port, portAction);
}

void FirewallRest::globalDenyTCP(int andToDo, const std::string& host, const std::string& port,
                                 int portAction, const std::string& /*currentBI*/) {
  globalListWrite(files::kGlobalDenyKey, andToDo, host, port, portAction);
}

void FirewallRest::globalDenyUDP(int andToDo, const std::string& host, const std::string& port,
                                 int portAction, const std::string& /*currentBI*/) {
  globalListWrite(files::kGlobalDenyKey, andToDo, host, port, portAction);
}

void FirewallRest::appListWrite(std::string_view listKey, int andToDo, const std::string& host,
                                const std::string& bundleIdentifier, const std::string& port,
                                int portAction) {
  std::optional<std::string> text = ruleText(andToDo, host, port, portAction);
  if (!text) return;
  serialised([&] {
    std::optional<plist::Dictionary> entry = currentEntry(bundleIdentifier);
    if (!entry) return logNotStored("application rules");
    appendRule(*entry, listKey, std::move(*text));
    commitEntry(bundleIdentifier, std::move(*entry));
  });
}

void FirewallRest::allConnectionsWrite(std::string_view value, const std::string& bundleIdentifier) {
  serialised([&] {
    std::optional<plist::Dictionary> entry = currentEntry(bundleIdentifier);
    if (!entry) return logNotStored("application rules");
    entry->set(std::string(files::kAllowEverythingKey), plist::Value(value));
    commitEntry(bundleIdentifier, std::move(*entry));
  });
}

void FirewallRest::globalListWrite(std::string_view listKey, int andToDo, const std::string& host,
                                   const std::string& port, int portAction) {
  std::optional<std::string> text = ruleText(andToDo, host, port, portAction);
  if (!text) return;
  serialised([&] {
    std::optional<plist::Dictionary> global = currentGlobal();
    if (!global) return logNotStored("global rules");
    appendRule(*global, listKey, std::move(*text));
    commitGlobal(std::move(*global));
  });
}

void FirewallRest::serialised(const std::function<void()>& write) {
  if (inSpringBoard()) {
    manager_.mainLoop().performAndWait(write);
    return;
  }
  // Held across the waiting send: SpringBoard has written the file when the
  // reply comes, so the next writer's re-read sees this one's change.
  std::lock_guard lock(writerMutex());
  write();
}

std::optional<plist::Dictionary> FirewallRest::currentEntry(const std::string& bundleIdentifier) {
  const KstStoreEnv& env = manager_.env();
  if (get(manager_.flags().alternativeLoading)) {
    const plist::Dictionary question{{std::string(msg::kBundleIdKey), plist::Value(bundleIdentifier)}};
    plist::Dictionary reply =
        env.relay != nullptr ? env.relay->sendAndWait(msg::kStdRules, &question) : plist::Dictionary();
    if (const std::string* empty = reply.string(msg::kEmptyKey);
        empty != nullptr && *empty == msg::kEmptyValue)
      return plist::Dictionary();
    if (plist::Value* entry = reply.find(msg::kMutableDicKey); entry != nullptr && entry->asDictionary())
      return std::move(*entry->asDictionary());
    // No reply, an empty one, or one that was too large to come: what the
    // file holds now is unknown, and a cached copy may be old.
    return std::nullopt;
  }
  plist::CheckedDictionaryFile rules =
      plist::readDictionaryFileChecked(*env.fs, env.root.path(files::kRulesPath));
  if (rules.state == plist::CheckedDictionaryFile::State::kMissing) return plist::Dictionary();
  if (rules.state != plist::CheckedDictionaryFile::State::kRead) return std::nullopt;
  plist::Value* entry = rules.dict.find(bundleIdentifier);
  if (entry == nullptr || entry->asDictionary() == nullptr) return plist::Dictionary();
  return std::move(*entry->asDictionary());
}

std::optional<plist::Dictionary> FirewallRest::currentGlobal() {
  const KstStoreEnv& env = manager_.env();
  if (get(manager_.flags().alternativeLoading)) {
    plist::Dictionary reply =
        env.relay != nullptr ? env.relay->sendAndWait(msg::kGlobalRules, nullptr) : plist::Dictionary();
    if (reply.contains(msg::kEmptyKey)) return plist::Dictionary();
    if (plist::Value* global = reply.find(msg::kGlobalRulesDicKey);
        global != nullptr && global->asDictionary())
      return std::move(*global->asDictionary());
    return std::nullopt;
  }
  plist::CheckedDictionaryFile global =
      plist::readDictionaryFileChecked(*env.fs, env.root.path(files::kGlobalRulesPath));
  if (global.state == plist::CheckedDictionaryFile::State::kMissing) return plist::Dictionary();
  if (global.state != plist::CheckedDictionaryFile::State::kRead) return std::nullopt;
  return std::move(global.dict);
}

void FirewallRest::commitEntry(const std::string& bundleIdentifier, plist::Dictionary entry) {
  std::shared_ptr<const std::string> current = manager_.currentBundleIdentifier();
  if (current && *current == bundleIdentifier)
    manager_.updateMutableDicOfCurrentBundleIdentifier([&entry](const plist::Dictionary*) { return entry; });
  const plist::Dictionary appRules{{bundleIdentifier, plist::Value(std::move(entry))}};
  if (inSpringBoard()) {
    writeNowAppRules(appRules);
    return;
  }
  auto center = MessagingCenter::centerNamed(std::string(msg::kRuleWriteService), manager_.env().root);
  center->sendMessageAndReceiveReply(std::string(msg::kMessageThatHasInfo), &appRules);
}

void FirewallRest::commitGlobal(plist::Dictionary global) {
  manager_.setGlobalRulesDic(global);
  if (inSpringBoard()) {
    writeNowGlobalRules(global);
    return;
  }
  auto center = MessagingCenter::centerNamed(std::string(msg::kRuleWriteService), manager_.env().root);
  center->sendMessageAndReceiveReply(std::string(msg::kGlobalMessageThatHasInfo), &global);
}

// --- File writes ------------------------------------------------------------

bool FirewallRest::writeNowAppRules(const DeviceRoot& root, FileSystem& fs,
                                    const plist::Dictionary& appRules) {
  if (appRules.empty()) return false;
  const auto& [bundleIdentifier, value] = appRules.entries().front();
  const plist::Dictionary* entry = value.asDictionary();
  if (entry == nullptr || bundleIdentifier == files::kMarkerKey) return false;

  const std::string path = root.path(files::kRulesPath);
  plist::CheckedDictionaryFile file = plist::readDictionaryFileChecked(fs, path);
  plist::Dictionary rules;
  switch (file.state) {
    case plist::CheckedDictionaryFile::State::kRead:
      rules = std::move(file.dict);
      break;
    case plist::CheckedDictionaryFile::State::kMissing:
      rules.set(std::string(files::kMarkerKey), true);
      break;
    case plist::CheckedDictionaryFile::State::kDamaged:
      // Every other application's rules are in there: keep the bytes.
      if (!plist::keepDamagedFile(fs, path, file.bytes)) return false;
      rules.set(std::string(files::kMarkerKey), true);
      break;
    case plist::CheckedDictionaryFile::State::kUnreadable:
      ::syslog(LOG_WARNING, "Kestrix: %s cannot be opened; the rules of %s are not stored", path.c_str(),
               bundleIdentifier.c_str());
      return false;
  }
  const plist::Value* current = rules.find(bundleIdentifier);
  if (current != nullptr && current->asDictionary() != nullptr) {
    rules.set(bundleIdentifier, mergedEntry(*current->asDictionary(), *entry));
  } else {
    rules.set(bundleIdentifier, *entry);
  }
  dropExpiredRules(rules, plist::Date::now());
  ensureMarker(rules);
  // Failures are not reported; the old file stays.
  return plist::writeDictionaryFile(fs, path, rules, true);
}

bool FirewallRest::writeNowGlobalRules(const DeviceRoot& root, FileSystem& fs,
                                       const plist::Dictionary& globalRules) {
  const std::string path = root.path(files::kGlobalRulesPath);
  if (!plist::makeWayForWrite(fs, path)) return false;
  // The copy shares the (possibly huge) lists; only one with an expired
  // rule is rebuilt.
  plist::Dictionary global = globalRules;
  dropExpiredGlobalRules(global, plist::Date::now());
  ensureMarker(global);
  return plist::writeDictionaryFile(fs, path, global, true);
}

bool FirewallRest::writeNowAppRules(const plist::Dictionary& appRules) {
  return writeNowAppRules(manager_.env().root, *manager_.env().fs, appRules);
}

bool FirewallRest::writeNowGlobalRules(const plist::Dictionary& globalRules) {
  return writeNowGlobalRules(manager_.env().root, *manager_.env().fs, globalRules);
}

}  // namespace kst
