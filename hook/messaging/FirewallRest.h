#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "hook/messaging/KstPopUp.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// The answer of the latest prompt, one set per transport, as the request
// operations store them: answer code, host form, port scope, and the port
// scope again. A hook acts on the answer its own request returned (two
// threads may ask at once); these only record the latest one.
extern std::atomic<int> whatToDoTCP;
extern std::atomic<int> ANDDoTCP;
extern std::atomic<int> portToDoTCP;
extern std::atomic<int> ANDDoPortTCP;
extern std::atomic<int> whatToDoUDP;
extern std::atomic<int> ANDDoUDP;
extern std::atomic<int> portToDoUDP;
extern std::atomic<int> ANDDoPortUDP;

// Turns a connection that no rule decides into a question to the person at
// SpringBoard's prompt, and lasting answers into rules in the rule files.
//
// The request operations block the calling (hook) thread until the answer
// arrives; while another prompt is on screen they wait for it first,
// polling "isShowingWindow" every 50 ms without limit. A lasting answer is
// written by the matching writer; each writer re-reads the current entry or
// global dictionary (from the file, or through the relay for a process that
// loads its rules that way), applies its one change, stores the result in
// the manager's cached dictionary and has SpringBoard write it, so a rule or
// switch saved by someone else since the last reload is kept. When that
// re-read fails (no reply, an empty or over-limit relay reply, a file that
// is there but unreadable) the writer stores nothing and logs one line; the
// answer still applies to the connection. It never falls back to a cached
// copy, which may be older than the file. Writers of
// one process run one at a time. In SpringBoard itself nothing is sent: the
// prompt and the file writes run on the main queue.
//
// Holds nothing but a reference to the manager, which must outlive it;
// instances are short-lived and may be used from any thread.
class FirewallRest {
 public:
  explicit FirewallRest(KstSettingsManager& manager);

  // Ask about one connection and return the whole answer (the reply's host
  // included); store the answer in the transport's variables and write the
  // rules that codes 2, 3, 4, 5, 8 and 9 ask for. A value that is absent
  // drops itself and every later key of the question. The UDP question
  // sends an absent URL as one blank. Without a reachable SpringBoard (or a
  // SpringBoard without a prompt) the answer is code 0 with no host.
  KstPopUpAnswer createTCPViewWithHostString(const std::optional<std::string>& host,
                                             const std::optional<std::string>& port,
                                             const std::optional<std::string>& bundleIdentifier,
                                             const std::optional<std::string>& url,
                                             const std::optional<std::string>& name);
  KstPopUpAnswer createUDPViewWithHostString(const std::optional<std::string>& host,
                                             const std::optional<std::string>& port,
                                             const std::optional<std::string>& bundleIdentifier,
                                             const std::optional<std::string>& url,
                                             const std::optional<std::string>& name);

  // Append a rule {"rule", "date"} to the application's "allow" / "deny".
  // No de-duplication: the same answer twice gives two entries.
  void alwaysAllowTCP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                      const std::string& port, int portAction);
  void alwaysAllowUDP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                      const std::string& port, int portAction);
  void alwaysDenyTCP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                     const std::string& port, int portAction);
  void alwaysDenyUDP(int andToDo, const std::string& host, const std::string& bundleIdentifier,
                     const std::string& port, int portAction);
  // Set the application's "allowEverything" to "1" / "2"; nothing else of
  // the entry changes.
  void allowAll(const std::string& bundleIdentifier);
  void denyAll(const std::string& bundleIdentifier);
  // Append a rule to "globalAllow" / "globalDeny".
  void globalAllowTCP(int andToDo, const std::string& host, const std::string& port, int portAction,
                      const std::string& currentBI);
  void globalAllowUDP(int andToDo, const std::string& host, const std::string& port, int portAction,
                      const std::string& currentBI);
  void globalDenyTCP(int andToDo, const std::string& host, const std::string& port, int portAction,
                     const std::string& currentBI);
  void globalDenyUDP(int andToDo, const std::string& host, const std::string& port, int portAction,
                     const std::string& currentBI);

  // The file writes, as SpringBoard does them. writeNowAppRules takes {bundle
  // identifier: application dictionary} and stores it as that application's
  // entry in the rules file, merged with the entry there: the given values
  // win, the file's other keys stay, and the file's "allow" and "deny"
  // rules missing from the given lists are kept (another process's answer
  // written meanwhile is never lost). The first entry counts; an argument without
  // one, or whose value is not a dictionary, or that names the marker key,
  // writes nothing). writeNowGlobalRules replaces the whole global file.
  // Both add "150" = true when missing and write atomically. A target that
  // is there but unreadable is kept beside it ("<name>.damaged-<time>", one
  // log line) before it is replaced; one that cannot even be opened is not
  // replaced. False when nothing was written.
  static bool writeNowAppRules(const DeviceRoot& root, FileSystem& fs, const plist::Dictionary& appRules);
  static bool writeNowGlobalRules(const DeviceRoot& root, FileSystem& fs,
                                  const plist::Dictionary& globalRules);
  bool writeNowAppRules(const plist::Dictionary& appRules);
  bool writeNowGlobalRules(const plist::Dictionary& globalRules);

  // The rule text of an answer: the host as is ("andToDo" 0), after "*" (1)
  // or after "*." (2), then ":" and the port when the port scope is 1.
  // Nothing for any other host form.
  static std::optional<std::string> ruleText(int andToDo, std::string_view host, std::string_view port,
                                             int portAction);
  // A device orientation as the question's orientation code.
  static int orientationCode(int deviceOrientation);
  // The question dictionary; the first absent value ends it.
  static plist::Dictionary questionDictionary(const std::optional<std::string>& host,
                                              const std::optional<std::string>& port,
                                              std::optional<int> orientation,
                                              const std::optional<std::string>& displayName,
                                              std::optional<bool> theme,
                                              const std::optional<std::string>& url,
                                              const std::optional<std::string>& bundleIdentifier);

 private:
  struct Transport;

  KstPopUpAnswer request(const Transport& transport, const std::optional<std::string>& host,
                         const std::optional<std::string>& port,
                         const std::optional<std::string>& bundleIdentifier,
                         const std::optional<std::string>& url, const std::optional<std::string>& name);
  void waitWhilePromptShows(const Transport& transport);
  int askOrientation(const Transport& transport);
  plist::Dictionary ask(const Transport& transport, const plist::Dictionary& question);
  void dispatch(const Transport& transport, const KstPopUpAnswer& answer,
                const std::optional<std::string>& port, const std::optional<std::string>& bundleIdentifier);

  void appListWrite(std::string_view listKey, int andToDo, const std::string& host,
                    const std::string& bundleIdentifier, const std::string& port, int portAction);
  void allConnectionsWrite(std::string_view value, const std::string& bundleIdentifier);
  void globalListWrite(std::string_view listKey, int andToDo, const std::string& host,
                       const std::string& port, int portAction);

  // Runs one writer's read-change-write as a unit: on SpringBoard's main
  // queue in SpringBoard (where the services write the same files), under
  // the process's writer lock elsewhere.
  void serialised(const std::function<void()>& write);
  // The entry or global dictionary as stored now; nothing when that cannot
  // be known (no, empty or over-limit relay reply, unreadable file), and
  // then the writer stores nothing.
  std::optional<plist::Dictionary> currentEntry(const std::string& bundleIdentifier);
  std::optional<plist::Dictionary> currentGlobal();
  void commitEntry(const std::string& bundleIdentifier, plist::Dictionary entry);
  void commitGlobal(plist::Dictionary global);

  bool inSpringBoard() const;

  KstSettingsManager& manager_;
};

}  // namespace kst
