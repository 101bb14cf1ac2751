#include "hook/intercept/SocketHooks.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "hook/intercept/DatagramSockets.h"
#include "hook/intercept/DecisionTrace.h"
#include "hook/intercept/DnsHooks.h"
#include "hook/intercept/HandlerJudge.h"
#include "hook/intercept/HeldDatagrams.h"
#include "hook/intercept/JudgedAddress.h"
#include "hook/intercept/JudgedCall.h"
#include "hook/intercept/KstDecision.h"
#include "hook/intercept/KstLookedUpNames.h"
#include "hook/intercept/LazyWatches.h"
#include "hook/intercept/ParkedConnects.h"
#include "hook/intercept/QuestionBoard.h"
#include "hook/intercept/ReverseNameCache.h"
#include "hook/intercept/SignalHandlerState.h"
#include "hook/intercept/WatchedFiles.h"
#include "hook/messaging/FirewallRest.h"
#include "hook/rules/CBoundary.h"
#include "hook/rules/HostText.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstSettingsManager.h"
#include "hook/store/RuleUsage.h"
#include "platform/bundle/MainBundle.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/resolver/ResolvConf.h"
#include "platform/resolver/Resolver.h"

namespace kst {

ConnectFn orig_connect = ::connect;
SendtoFn orig_sendto = ::sendto;
SendmsgFn orig_sendmsg = ::sendmsg;
SendmmsgFn orig_sendmmsg = ::sendmmsg;
GetsockoptFn orig_getsockopt = ::getsockopt;
Connectx9Fn orig_connectx9 = nullptr;
Connectx7Fn orig_connectx7 = nullptr;

namespace {

// connect and connectx share the TCP question; each has its own lock.
enum class Proto { kTCP, kSCTP, kUDP };

// Each lock is taken only by a call that no rule decides, and held while it
// asks: one question at a time per protocol. Its board tells the calls
// waiting behind it which question is on screen.
struct ProtocolLocks {
  std::mutex tcp;
  std::mutex sctp;
  std::mutex udp;
  QuestionBoard tcpBoard;
  QuestionBoard sctpBoard;
  QuestionBoard udpBoard;
  // The set this one replaced, kept (and reachable) for a thread that may
  // still be inside it.
  ProtocolLocks* replaced = nullptr;
  std::mutex& of(Proto p) { return p == Proto::kTCP ? tcp : p == Proto::kSCTP ? sctp : udp; }
  QuestionBoard& boardOf(Proto p) {
    return p == Proto::kTCP ? tcpBoard : p == Proto::kSCTP ? sctpBoard : udpBoard;
  }
};

// Replaced, never freed: a thread may still be inside the old one.
std::atomic<ProtocolLocks*> gLocks{nullptr};

ProtocolLocks& locks() {
  ProtocolLocks* l = gLocks.load(std::memory_order_acquire);
  if (l != nullptr) return *l;
  auto* fresh = new ProtocolLocks();
  if (gLocks.compare_exchange_strong(l, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *l;
}

// A child of fork has only the forking thread: a lock another thread held
// would never be released there.
void renewLocks() {
  auto* fresh = new ProtocolLocks();
  fresh->replaced = gLocks.load(std::memory_order_acquire);
  while (!gLocks.compare_exchange_weak(fresh->replaced, fresh, std::memory_order_acq_rel)) {
  }
}

void renewLocksInChild() {
  renewLocks();
}

// Connection prompts are no place for thread cancellation: the protocol lock
// and a half-sent question would be left behind.
class CancellationOff {
 public:
  CancellationOff() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
  ~CancellationOff() { pthread_setcancelstate(old_, nullptr); }
  CancellationOff(const CancellationOff&) = delete;
  CancellationOff& operator=(const CancellationOff&) = delete;

 private:
  int old_ = PTHREAD_CANCEL_ENABLE;
};

// kHeld: a datagram accepted now and held until its question is answered;
// kParked: a non-blocking connect parked until its question is answered.
enum class Outcome { kPass, kAllow, kDeny, kHeld, kParked };

// The manager of a process the firewall judges, or null.
KstSettingsManager* judgingManager() {
  KstSettingsManager* m = settingsManagerKst();
  if (m == nullptr || !m->hasCurrentBundleIdentifier()) return nullptr;
  return m;
}

bool firewallOff(KstSettingsManager& m) {
  return disabledMarkerPresent(m) || !get(m.flags().isKstEnabled);
}

// The checks every replacement makes before it takes its lock. Returns the
// manager to judge with, or null to let the call through untouched.
KstSettingsManager* preflight() {
  KstSettingsManager* m = judgingManager();
  if (m == nullptr) return nullptr;
  // The process listens for reloads and watches its resume from its first
  // judged call on (in a forked child too, never from inside fork); what it
  // missed before, it reads now.
  startWatchesForJudging(*m);
  // Whether the watched files can be taken as the watch last saw them.
  WatchedFiles::process().beginCall();
  if (!get(m->flags().SpringBoardDidFinish)) DarwinNotifyCenter::process().post(msg::kQuestionNotification);
  // The settings start-up left for the first judged call.
  m->reloadIfDeferred();
  if (firewallOff(*m)) return nullptr;
  if (m->needsAppReload()) m->reloadAppSettings();
  // A rule that expired since the last reload stops deciding now.
  m->reloadIfRulesExpired();
  return m;
}

void ensureAppName(KstSettingsManager& m) {
  const MainBundle& bundle = MainBundle::process();
  if (!m.hasAppName()) {
    if (!bundle.displayName().empty()) {
      m.setAppName(bundle.displayName());
    } else if (!bundle.executable().empty()) {
      m.setAppName(bundle.executable());
    } else {
      m.setAppName(bundle.processName() == "gamed" ? std::string("GameCenterD") : bundle.processName());
    }
  }
  if (bundle.processName() == "com.apple.WebKit.Networking" ||
      bundle.processName() == "com.apple.WebKit.WebContent") {
    if (auto id = m.currentBundleIdentifier()) m.setAppName(*id);
  }
}

// The name a destination is known by: the newest name this process's own
// lookups returned the address for, else the newest name the host-name map
// holds for it, else the reverse lookup (cached, bounded in time, never of
// a nameserver: see reverseNameFor), else the address text. The
// process's own answer comes first: the map learns names later, and may
// resolve them differently, so a deny rule by name would not hold from the
// first connect.
std::string hostFor(KstSettingsManager& m, const sockaddr* address, socklen_t length,
                    const std::string& text) {
  std::optional<std::string> host = lookedUpNames().findName(address, length);
  if (!host || !isUsableHostText(*host)) host = m.lastHostNameForAddress(text);
  if (!host || !isUsableHostText(*host)) host = reverseNameFor(address, length);
  if (!host || !isUsableHostText(*host)) host = text;
  return withoutWww(*host);
}

// The system's own internal endpoints, which connections (not datagrams)
// reach without being judged; the last one only over SCTP.
constexpr std::string_view kLocalHostName = "localhost";
constexpr std::string_view kInternalAddresses[] = {"11.0.0.0", "3.0.0.0"};
constexpr std::string_view kInternalSctpAddress = "5.0.0.0";

// connectx fails with ESRCH when it has in fact made the connection: that
// failure is reported as the success it is.
constexpr int kConnectxMadeErrno = ESRCH;

bool neverJudged(Proto proto, const std::string& host, const std::string& address) {
  if (host == kLocalHostName) return true;
  if (proto == Proto::kUDP) return false;
  if (host == kCompanionHost) return true;
  for (std::string_view internal : kInternalAddresses)
    if (address == internal) return true;
  return proto == Proto::kSCTP && address == kInternalSctpAddress;
}

struct Connection {
  std::string host;
  std::string address;
  int port = 0;
  std::string portText;
};

void logOutcome(KstSettingsManager& m, const Connection& c, std::string_view what) {
  if (!get(m.flags().logging)) return;
  auto app = m.appName();
  m.logThisApp(app ? *app : std::string(), c.host, c.portText, std::string(what));
}

// Applies the answer of this call's own question (the answer-code table).
Outcome applyAnswer(KstSettingsManager& m, const KstPopUpAnswer& answer, const Connection& c) {
  auto sessionRule = [&] {
    return answer.host ? FirewallRest::ruleText(answer.andToDo, *answer.host, c.portText, answer.portToDo)
                       : std::nullopt;
  };
  switch (answer.whatToDo) {
    case msg::allowOnce:
      logOutcome(m, c, "allowed");
      return Outcome::kAllow;
    case msg::denyOnce:
      logOutcome(m, c, "denied");
      return Outcome::kDeny;
    case msg::alwaysAllow:
    case msg::allowAll:
      m.reloadAppSettings();
      logOutcome(m, c, "allowed");
      return Outcome::kAllow;
    case msg::alwaysDeny:
    case msg::denyAll:
      m.reloadAppSettings();
      logOutcome(m, c, "denied");
      return Outcome::kDeny;
    case msg::allowSession:
      if (auto rule = sessionRule()) m.addTempAllowRule(std::move(*rule));
      logOutcome(m, c, "allowed");
      return Outcome::kAllow;
    case msg::denySession:
      if (auto rule = sessionRule()) m.addTempDenyRule(std::move(*rule));
      logOutcome(m, c, "denied");
      return Outcome::kDeny;
    case msg::globalAllow:
      DarwinNotifyCenter::process().post(msg::kReloadBothNotification);
      logOutcome(m, c, "allowed");
      return Outcome::kAllow;
    case msg::globalDeny:
      DarwinNotifyCenter::process().post(msg::kReloadBothNotification);
      logOutcome(m, c, "denied");
      return Outcome::kDeny;
    case msg::allowAllSession:
      logOutcome(m, c, "allowed");
      m.setTempAllowAllString(std::string(files::kAllowEverything));
      return Outcome::kAllow;
    case msg::denyAllSession:
      logOutcome(m, c, "denied");
      m.setTempAllowAllString(std::string(files::kDenyEverything));
      return Outcome::kDeny;
    default:
      return Outcome::kAllow;
  }
}

// One destination described for the decision. False when it is never
// judged (localhost, the companion host, the reserved addresses).
bool describe(KstSettingsManager& m, Proto proto, const JudgedAddress& address, Connection& c) {
  ensureAppName(m);
  c.address = addressText(address.get(), address.length).value_or(std::string());
  c.port = address.port();
  c.portText = std::to_string(c.port);
  c.host = hostFor(m, address.get(), address.length, c.address);
  return !neverJudged(proto, c.host, c.address);
}

Transport transportOf(Proto proto) {
  return proto == Proto::kUDP ? Transport::kUDP : Transport::kTCP;
}

// The decision order's verdict, logged as the order says; nothing when no
// rule decides.
std::optional<Outcome> decided(KstSettingsManager& m, Proto proto, const Connection& c) {
  const Destination destination{c.host, c.port, c.address};
  const Decision d = decideConnection(m, transportOf(proto), destination);
  if (d.verdict == Verdict::kUndecided) return std::nullopt;
  countRuleDecision(m, d.step, destination);
  if (d.log) logOutcome(m, c, d.what());
  if (decisionTracing()) {
    const auto app = m.appName();
    traceLine(decisionLine(app ? *app : std::string(), transportOf(proto), destination, d,
                           matchingRule(m, d.step, destination)));
  }
  return d.verdict == Verdict::kAllow ? Outcome::kAllow : Outcome::kDeny;
}

// The outcome a call takes from the answer to the question it waited
// behind, logged as its own.
Outcome followed(KstSettingsManager& m, const Connection& c, bool allowed) {
  logOutcome(m, c, allowed ? "allowed" : "denied");
  return allowed ? Outcome::kAllow : Outcome::kDeny;
}

// Puts the question about a destination no rule decided, under the
// protocol lock, and applies the answer. A call that waited while the
// question about its own destination was on screen takes that answer; one
// that waited behind another question decides again first, as an answer
// given meanwhile may now decide it. `payloadUrl` is the UDP question's URL
// (absent: one blank). `since`: when the call began to wait, if before now.
// `answered` (when given) is set to false when the question got no answer
// at all (no shell, or one that broke off); such a question is no answer
// for the calls behind it, which ask themselves.
Outcome askLocked(KstSettingsManager& m, Proto proto, const Connection& c,
                  const std::optional<std::string>& payloadUrl,
                  std::optional<QuestionBoard::Ticket> since = std::nullopt, bool* answered = nullptr) {
  ProtocolLocks& l = locks();
  QuestionBoard& board = l.boardOf(proto);
  const QuestionKey key{c.host, c.port};
  const QuestionBoard::Ticket from = since.value_or(board.ticket());
  if (auto allowed = board.awaitWhileShown(key, from)) return followed(m, c, *allowed);
  std::lock_guard<std::mutex> lock(l.of(proto));
  if (auto allowed = board.answerSince(key, from)) return followed(m, c, *allowed);
  if (auto outcome = decided(m, proto, c)) return *outcome;

  ShownQuestion shown(board, key);
  auto bundleId = m.currentBundleIdentifier();
  auto app = m.appName();
  std::optional<std::string> id = bundleId ? std::optional<std::string>(*bundleId) : std::nullopt;
  std::optional<std::string> name = app ? std::optional<std::string>(*app) : std::nullopt;
  FirewallRest rest(m);
  const KstPopUpAnswer answer =
      proto == Proto::kUDP
          ? rest.createUDPViewWithHostString(c.host, c.portText, id, payloadUrl, name)
          : rest.createTCPViewWithHostString(c.host, c.portText, id, m.urlForHost(c.host), name);
  const Outcome outcome = applyAnswer(m, answer, c);
  if (answer.answered) shown.answer(outcome != Outcome::kDeny);
  if (answered != nullptr) *answered = answer.answered;
  if (decisionTracing()) {
    traceLine(answerLine(name ? *name : std::string(), transportOf(proto),
                         Destination{c.host, c.port, c.address}, outcome == Outcome::kAllow,
                         answer.answered ? answer.whatToDo : -1));
  }
  return outcome;
}

bool isLoopbackOne(const JudgedAddress& address) {
  if (address.family() != AF_INET) return false;
  return reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

// DNS to a nameserver of the device's resolver configuration is no
// connection to a host: on the original platform it went to the local
// resolver on 127.0.0.1, which the UDP path never judges; here that
// resolver is whatever the configuration names. DNS to any other server is
// judged as usual.
bool isDnsToNameserver(const JudgedAddress& address) {
  return address.port() == ResolvConf::kDnsPort &&
         ResolvConfFile::process().current()->isNameserver(address.get(), address.length);
}

// A send whose datagram may be held: its socket and flags.
struct HeldSend {
  int fd;
  int flags;
};

bool isNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// The socket's type, or -1 when it is no socket.
int socketType(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? type : -1;
}

bool isStreamSocket(int fd) {
  return socketType(fd) == SOCK_STREAM;
}

// Whether a send with an address is judged as a datagram: anything but a
// stream socket. The kernel is asked once per socket (see DatagramSockets).
bool sendsDatagrams(int fd) {
  if (datagramSockets().known(fd)) return true;
  const int type = socketType(fd);
  if (type == SOCK_STREAM) return false;
  if (type >= 0) datagramSockets().remember(fd);
  return true;
}

// Whether SpringBoard's question service is there to ask. Without it an
// undecided call passes unasked, at once, so there is nothing to park for.
bool questionServiceListens(const KstSettingsManager& m) {
  const auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), m.env().root);
  return ::access(center->socketPath().c_str(), F_OK) == 0;
}

// A connect that must not wait: a non-blocking socket's (a stream's, or a
// datagram socket's, whose connect sends nothing), outside SpringBoard
// (which asks on its own main queue), while there is a shell to ask.
bool mayPark(KstSettingsManager& m, Proto proto, int fd) {
  return proto == Proto::kTCP && fd >= 0 && !get(m.flags().isSpringBoard) && isNonBlocking(fd) &&
         questionServiceListens(m);
}

// The real calls a parked connect and a held datagram make later, on a
// thread of the library: judged already, so they carry the launch's token
// past kestrix-launch's filter (without it the supervisor would judge and
// maybe ask again).
int judgedRealConnect(int fd, const sockaddr* address, socklen_t length) {
  return judged::connect(orig_connect, fd, address, length);
}
ssize_t judgedRealSendto(int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
                         socklen_t addressLength) {
  return judged::sendto(orig_sendto, fd, buffer, length, flags, address, addressLength);
}

// Parks the connect and leaves its question to the library's thread. A
// parked connect goes ahead only on an answer that allows it; a question
// that gets no answer (the shell died, say) fails it as the prompt's
// time-out would.
bool parkConnect(KstSettingsManager& m, int fd, const JudgedAddress& address, const Connection& c) {
  ParkedConnects& parked = ParkedConnects::process();
  parked.setReal(judgedRealConnect, orig_getsockopt);
  const QuestionBoard::Ticket since = locks().boardOf(Proto::kTCP).ticket();
  KstSettingsManager* manager = &m;
  return parked.park(fd, address, [manager, c, since] {
    bool answered = true;
    const Outcome outcome = askLocked(*manager, Proto::kTCP, c, std::nullopt, since, &answered);
    return answered && outcome != Outcome::kDeny;
  });
}

// The rules are read without the protocol lock, so a settled connection
// never waits for a question about another one. `fd`: the connecting
// socket (-1 for calls that are never parked).
Outcome judgeTcp(Proto proto, const JudgedAddress& address, int fd) {
  KstSettingsManager* m = preflight();
  if (m == nullptr || isDnsToNameserver(address)) return Outcome::kPass;
  Connection c;
  if (!describe(*m, proto, address, c)) return Outcome::kPass;
  if (auto outcome = decided(*m, proto, c)) return *outcome;
  if (mayPark(*m, proto, fd) && parkConnect(*m, fd, address, c)) return Outcome::kParked;
  return askLocked(*m, proto, c, std::nullopt);
}

// A datagram that no rule decides, sent without waiting (a non-blocking
// socket or MSG_DONTWAIT), is held and asked about on a thread of the
// library; one sent blocking waits for the answer. SpringBoard asks on its
// own main queue and never holds; without a shell to ask nothing is held.
Outcome judgeUdp(const JudgedAddress& address, const HeldSend* held, const void* payload,
                 size_t payloadLength) {
  KstSettingsManager* m = preflight();
  if (m == nullptr) return Outcome::kPass;
  if (udpAllowedAtOnce(*m)) return Outcome::kPass;
  if (isLoopbackOne(address) || isDnsToNameserver(address)) return Outcome::kPass;
  Connection c;
  if (!describe(*m, Proto::kUDP, address, c)) return Outcome::kPass;
  if (auto outcome = decided(*m, Proto::kUDP, c)) return *outcome;
  std::optional<std::string> url = payloadText(payload, payloadLength);
  if (held != nullptr && !get(m->flags().isSpringBoard) &&
      ((held->flags & MSG_DONTWAIT) != 0 || isNonBlocking(held->fd)) && questionServiceListens(*m)) {
    HeldDatagrams& datagrams = HeldDatagrams::process();
    datagrams.setSender(judgedRealSendto);
    const QuestionBoard::Ticket since = locks().boardOf(Proto::kUDP).ticket();
    // Like a parked connect, a held datagram goes out only on an answer
    // that allows it.
    datagrams.hold(held->fd, payload, payloadLength, held->flags, address, [m, c, url, since] {
      bool answered = true;
      const Outcome outcome = askLocked(*m, Proto::kUDP, c, url, since, &answered);
      return answered && outcome != Outcome::kDeny;
    });
    return Outcome::kHeld;
  }
  return askLocked(*m, Proto::kUDP, c, url);
}

// The judge thread's part for a call made from a signal handler: the same
// checks and decision order, without the protocol lock (the interrupted
// thread may hold it) and without asking.
bool judgeForHandler(const HandlerRequest& r) {
  try {
    const Proto proto = r.call == HandlerCall::kDatagram   ? Proto::kUDP
                        : r.call == HandlerCall::kFastOpen ? Proto::kSCTP
                                                           : Proto::kTCP;
    KstSettingsManager* m = preflight();
    if (m == nullptr) return true;
    if (proto == Proto::kUDP && (udpAllowedAtOnce(*m) || isLoopbackOne(r.address))) return true;
    if (isDnsToNameserver(r.address)) return true;
    Connection c;
    if (!describe(*m, proto, r.address, c)) return true;
    const std::optional<Outcome> outcome = decided(*m, proto, c);
    return outcome && *outcome == Outcome::kAllow;
  } catch (...) {
    syslog(LOG_ERR, kInternalFailureLogFormat, "the judge of signal handlers' calls");
    return true;
  }
}

Outcome judgeInHandler(HandlerCall call, const JudgedAddress& address) noexcept {
  HandlerRequest r;
  r.call = call;
  r.address = address;
  return judgeFromHandler(r) ? Outcome::kPass : Outcome::kDeny;
}

// Runs one judgement; on an internal failure (memory exhausted, a broken
// invariant) the call goes on as after a failed exchange with SpringBoard,
// whose empty answer allows it once, and one line goes to the system log.
// The judge of handlers' calls starts here, with the process's first call
// outside a handler (and again in a forked child): until then a handler's
// call is refused, as the judge's rules say.
template <class F>
Outcome guarded(F&& judge) noexcept {
  return atCBoundary("a socket hook", Outcome::kPass, [&] {
    CancellationOff off;
    startHandlerJudge(&judgeForHandler);
    return judge();
  });
}

Outcome judgeConnect(Proto proto, const JudgedAddress& address, int fd = -1) noexcept {
  if (inSignalHandler())
    return judgeInHandler(proto == Proto::kTCP ? HandlerCall::kTcp : HandlerCall::kFastOpen, address);
  return guarded([&] { return judgeTcp(proto, address, fd); });
}

// A send to an explicit address. Only datagrams are judged by it: on a
// stream socket the kernel ignores the address (the connect was judged),
// except for a Fast Open send, which connects and is judged like connectx.
// `mayHold`: the datagram is the whole send (sendto), so a copy of it can
// be sent later.
Outcome judgeSend(int fd, const sockaddr* address, socklen_t length, int flags, const void* payload,
                  size_t payloadLength, bool mayHold = false) noexcept {
  const std::optional<JudgedAddress> judged = judgedAddress(address, length);
  if (!judged) return Outcome::kPass;
  if (!sendsDatagrams(fd)) {
    if ((flags & MSG_FASTOPEN) == 0) return Outcome::kPass;
    return judgeConnect(Proto::kSCTP, *judged);
  }
  if (inSignalHandler()) return judgeInHandler(HandlerCall::kDatagram, *judged);
  const HeldSend held{fd, flags};
  return guarded([&] { return judgeUdp(*judged, mayHold ? &held : nullptr, payload, payloadLength); });
}

int refuse() {
  errno = EPERM;
  return -1;
}

}  // namespace

// The judge of handlers' calls starts with the first judged call (guarded()),
// not here: no thread of ours runs before the process needs one.
void resetProtocolLocks() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, renewLocksInChild); });
  renewLocks();
}

bool judgeUnseenCall(bool datagram, const JudgedAddress& address, const void* payload,
                     size_t payloadLength) noexcept {
  // The supervisor's caller waits for the verdict: nothing is parked or held.
  if (datagram)
    return guarded([&] { return judgeUdp(address, nullptr, payload, payloadLength); }) != Outcome::kDeny;
  return guarded([&] { return judgeTcp(Proto::kTCP, address, -1); }) != Outcome::kDeny;
}

namespace replacement {

int connect(int fd, const sockaddr* address, socklen_t length) noexcept {
  const ConnectFn real = orig_connect;
  const int callerErrno = errno;
  if (ParkedConnects::anyParked() && !inSignalHandler()) {
    ParkedConnects& parked = ParkedConnects::process();
    if (address != nullptr && length >= sizeof(sa_family_t) && address->sa_family == AF_UNSPEC) {
      parked.programUndoes(fd);
    } else if (parked.isParked(fd)) {
      if (isStreamSocket(fd)) {
        errno = EALREADY;  // as on a socket still connecting
        return -1;
      }
      // A datagram socket may connect again at any time: to the new
      // destination, judged as any connect.
      parked.programUndoes(fd);
    }
    errno = callerErrno;
  }
  noteDestination(fd, address, length);
  const std::optional<JudgedAddress> judged = judgedAddress(address, length);
  if (!judged) return judged::connect(real, fd, address, length);
  const Outcome outcome = judgeConnect(Proto::kTCP, *judged, fd);
  if (outcome == Outcome::kDeny) return refuse();
  if (outcome == Outcome::kParked) {
    // A stream is "connecting"; a datagram socket's connect is done (to
    // the library's sink until the answer).
    if (!isStreamSocket(fd)) {
      errno = callerErrno;
      return 0;
    }
    errno = EINPROGRESS;
    return -1;
  }
  errno = callerErrno;
  return judged::connect(real, fd, address, length);
}

int getsockopt(int fd, int level, int name, void* value, socklen_t* length) noexcept {
  const GetsockoptFn real = orig_getsockopt;
  if (level != SOL_SOCKET || name != SO_ERROR || inSignalHandler())
    return real(fd, level, name, value, length);
  return ParkedConnects::process().readError([&] { return real(fd, level, name, value, length); });
}

ssize_t sendto(int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
               socklen_t addressLength) noexcept {
  const SendtoFn real = orig_sendto;
  if (address == nullptr || addressLength == 0)
    return judged::sendto(real, fd, buffer, length, flags, address, addressLength);
  noteDestination(fd, address, addressLength);
  const int callerErrno = errno;
  const Outcome outcome = judgeSend(fd, address, addressLength, flags, buffer, length, true);
  if (outcome == Outcome::kDeny) return refuse();
  errno = callerErrno;
  if (outcome == Outcome::kHeld) return static_cast<ssize_t>(length);
  return judged::sendto(real, fd, buffer, length, flags, address, addressLength);
}

namespace {

// The first buffer of a message: the datagram's start, for its question.
std::pair<const void*, size_t> firstBuffer(const msghdr& h) {
  if (h.msg_iov == nullptr || h.msg_iovlen == 0) return {nullptr, 0};
  return {h.msg_iov[0].iov_base, h.msg_iov[0].iov_len};
}

}  // namespace

ssize_t sendmsg(int fd, const msghdr* message, int flags) noexcept {
  const SendmsgFn real = orig_sendmsg;
  if (message == nullptr || message->msg_name == nullptr || message->msg_namelen == 0)
    return judged::sendmsg(real, fd, message, flags);
  noteDestination(fd, static_cast<const sockaddr*>(message->msg_name), message->msg_namelen);
  const auto [payload, payloadLength] = firstBuffer(*message);
  const int callerErrno = errno;
  if (judgeSend(fd, static_cast<const sockaddr*>(message->msg_name), message->msg_namelen, flags, payload,
                payloadLength) == Outcome::kDeny)
    return refuse();
  errno = callerErrno;
  return judged::sendmsg(real, fd, message, flags);
}

int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) noexcept {
  const SendmmsgFn real = orig_sendmmsg;
  if (messages == nullptr || count == 0) return judged::sendmmsg(real, fd, messages, count, flags);
  // Judge each datagram in turn; the ones before the first refused one go.
  const int callerErrno = errno;
  unsigned int allowed = 0;
  for (; allowed < count; ++allowed) {
    const msghdr& h = messages[allowed].msg_hdr;
    if (h.msg_name == nullptr || h.msg_namelen == 0) continue;
    noteDestination(fd, static_cast<const sockaddr*>(h.msg_name), h.msg_namelen);
    const auto [payload, payloadLength] = firstBuffer(h);
    if (judgeSend(fd, static_cast<const sockaddr*>(h.msg_name), h.msg_namelen, flags, payload,
                  payloadLength) == Outcome::kDeny)
      break;
  }
  if (allowed == 0) return refuse();
  errno = callerErrno;
  return judged::sendmmsg(real, fd, messages, allowed, flags);
}

int connectx(int fd, const sa_endpoints_t* endpoints, sae_associd_t associd, unsigned int flags,
             const iovec* iov, unsigned int iovcnt, size_t* len, sae_connid_t* connid) noexcept {
  const Connectx9Fn real = orig_connectx9;
  if (real == nullptr) return refuse();
  const int callerErrno = errno;
  auto callReal = [&] {
    errno = callerErrno;
    const int r = real(fd, endpoints, associd, flags, iov, iovcnt, len, connid);
    return r != 0 && errno == kConnectxMadeErrno ? 0 : r;
  };
  if (endpoints == nullptr || endpoints->sae_dstaddr == nullptr) return callReal();
  const std::optional<JudgedAddress> judged =
      judgedAddress(endpoints->sae_dstaddr, endpoints->sae_dstaddrlen);
  if (!judged) return callReal();
  if (judgeConnect(Proto::kSCTP, *judged) == Outcome::kDeny) return refuse();
  return callReal();
}

int connectx7(int fd, const sockaddr* source, socklen_t sourceLength, const sockaddr* destination,
              socklen_t destinationLength, unsigned int ifscope, sae_associd_t associd,
              sae_connid_t* connid) noexcept {
  const Connectx7Fn real = orig_connectx7;
  if (real == nullptr) return refuse();
  const int callerErrno = errno;
  auto callReal = [&] {
    errno = callerErrno;
    const int r = real(fd, source, sourceLength, destination, destinationLength, ifscope, associd, connid);
    return r != 0 && errno == kConnectxMadeErrno ? 0 : r;
  };
  // The destination is judged; without one, the source.
  const std::optional<JudgedAddress> judged = destination != nullptr
                                                  ? judgedAddress(destination, destinationLength)
                                                  : judgedAddress(source, sourceLength);
  if (!judged) return callReal();
  if (judgeConnect(Proto::kSCTP, *judged) == Outcome::kDeny) return refuse();
  return callReal();
}

}  // namespace replacement
}  // namespace kst
