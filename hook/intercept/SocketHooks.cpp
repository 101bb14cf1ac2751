#include "hook/intercept/SocketHooks.h"

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "hook/intercept/HostText.h"
#include "hook/intercept/KstDecision.h"
#include "hook/intercept/KstLookedUpNames.h"
#include "hook/messaging/KstMessageNames.h"
#include "hook/store/FirewallRest.h"
#include "hook/store/KstFiles.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/bundle/MainBundle.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/resolver/Resolver.h"

// Provided by the substrate when it is loaded; absent in programs (tests)
// that run without it.
extern "C" void kst_objc_renewAfterFork(void) __attribute__((weak));

namespace kst {

ConnectFn orig_connect = ::connect;
SendtoFn orig_sendto = ::sendto;
SendmsgFn orig_sendmsg = ::sendmsg;
SendmmsgFn orig_sendmmsg = ::sendmmsg;
Connectx9Fn orig_connectx9 = nullptr;
Connectx7Fn orig_connectx7 = nullptr;

namespace {

// connect and connectx share the TCP question; each has its own lock.
enum class Proto { kTCP, kSCTP, kUDP };

struct ProtocolLocks {
  std::mutex tcp;
  std::mutex sctp;
  std::mutex udp;
  std::mutex& of(Proto p) { return p == Proto::kTCP ? tcp : p == Proto::kSCTP ? sctp : udp; }
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
void renewLocksInChild() {
  gLocks.store(new ProtocolLocks(), std::memory_order_release);
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

enum class Outcome { kPass, kAllow, kDeny };

// Only IPv4 and IPv6 destinations are judged. Local families (AF_UNIX),
// the kernel's own (AF_NETLINK), AF_UNSPEC (dissolving a UDP association)
// and everything else are not connections to a host.
bool isJudgedFamily(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return false;
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  if (family == AF_INET) return length >= static_cast<socklen_t>(sizeof(sockaddr_in));
  if (family == AF_INET6) return length >= static_cast<socklen_t>(sizeof(sockaddr_in6));
  return false;
}

int portOf(const sockaddr* address) {
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  in_port_t port = 0;
  if (family == AF_INET6) {
    std::memcpy(&port, reinterpret_cast<const char*>(address) + offsetof(sockaddr_in6, sin6_port),
                sizeof port);
  } else {
    std::memcpy(&port, reinterpret_cast<const char*>(address) + offsetof(sockaddr_in, sin_port), sizeof port);
  }
  return ntohs(port);
}

// The manager of a process the firewall judges, or null.
KstSettingsManager* judgingManager() {
  KstSettingsManager* m = settingsManagerKst();
  if (m == nullptr || !m->currentBundleIdentifier()) return nullptr;
  return m;
}

bool firewallOff(KstSettingsManager& m) {
  const KstStoreEnv& env = m.env();
  return env.fs->exists(env.root.path(files::kDisabledMarkerPath)) || !get(m.flags().isKstEnabled);
}

// The checks every replacement makes before it takes its lock. Returns the
// manager to judge with, or null to let the call through untouched.
KstSettingsManager* preflight() {
  KstSettingsManager* m = judgingManager();
  if (m == nullptr) return nullptr;
  if (!get(m->flags().SpringBoardDidFinish)) DarwinNotifyCenter::process().post(msg::kQuestionNotification);
  if (firewallOff(*m)) return nullptr;
  if (m->needsAppReload()) m->reloadAppSettings();
  return m;
}

void ensureAppName(KstSettingsManager& m) {
  const MainBundle& bundle = MainBundle::process();
  if (!m.appName()) {
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
// holds for it, else the reverse lookup, else the address text. The
// process's own answer comes first: the map learns names later, and may
// resolve them differently, so a deny rule by name would not hold from the
// first connect.
std::string hostFor(KstSettingsManager& m, const sockaddr* address, socklen_t length,
                    const std::string& text) {
  // A forked child watches its resume from its first judged call on, never
  // from inside fork (see ResumeWatch); only this call pays, once.
  if (kst_objc_renewAfterFork != nullptr) kst_objc_renewAfterFork();
  std::optional<std::string> host = lookedUpNames().findName(address, length);
  if (!host || !isUsableHostText(*host)) host = m.lastHostNameForAddress(text);
  if (!host || !isUsableHostText(*host)) host = Resolver::real().reverseLookup(address, length);
  if (!host || !isUsableHostText(*host)) host = text;
  return withoutWww(*host);
}

bool neverJudged(Proto proto, const std::string& host, const std::string& address) {
  if (host == "localhost") return true;
  if (proto == Proto::kUDP) return false;
  if (host == kCompanionHost || address == "11.0.0.0" || address == "3.0.0.0") return true;
  return proto == Proto::kSCTP && address == "5.0.0.0";
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

// The judgement of one destination, from the protocol lock on. `payloadUrl`
// is the UDP question's URL (absent: one blank).
Outcome judgeLocked(KstSettingsManager& m, Proto proto, const sockaddr* address, socklen_t length,
                    const std::optional<std::string>& payloadUrl) {
  std::lock_guard<std::mutex> lock(locks().of(proto));
  ensureAppName(m);
  Connection c;
  c.address = addressText(address, length).value_or(std::string());
  c.port = portOf(address);
  c.portText = std::to_string(c.port);
  c.host = hostFor(m, address, length, c.address);
  if (neverJudged(proto, c.host, c.address)) return Outcome::kPass;

  const Transport transport = proto == Proto::kUDP ? Transport::kUDP : Transport::kTCP;
  const Decision d = decideConnection(m, transport, Destination{c.host, c.port, c.address});
  if (d.verdict != Verdict::kUndecided) {
    if (d.log) logOutcome(m, c, d.what());
    return d.verdict == Verdict::kAllow ? Outcome::kAllow : Outcome::kDeny;
  }

  auto bundleId = m.currentBundleIdentifier();
  auto app = m.appName();
  std::optional<std::string> id = bundleId ? std::optional<std::string>(*bundleId) : std::nullopt;
  std::optional<std::string> name = app ? std::optional<std::string>(*app) : std::nullopt;
  FirewallRest rest(m);
  const KstPopUpAnswer answer =
      proto == Proto::kUDP
          ? rest.createUDPViewWithHostString(c.host, c.portText, id, payloadUrl, name)
          : rest.createTCPViewWithHostString(c.host, c.portText, id, m.urlForHost(c.host), name);
  return applyAnswer(m, answer, c);
}

Outcome judgeTcp(Proto proto, const sockaddr* address, socklen_t length) {
  KstSettingsManager* m = preflight();
  if (m == nullptr) return Outcome::kPass;
  return judgeLocked(*m, proto, address, length, std::nullopt);
}

Outcome judgeUdp(const sockaddr* address, socklen_t length, const void* payload, size_t payloadLength) {
  KstSettingsManager* m = preflight();
  if (m == nullptr) return Outcome::kPass;
  if (udpAllowedAtOnce(*m)) return Outcome::kPass;
  if (addressText(address, length) == std::optional<std::string>("127.0.0.1")) return Outcome::kPass;
  return judgeLocked(*m, Proto::kUDP, address, length, payloadText(payload, payloadLength));
}

bool isStreamSocket(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

// A datagram (or a Fast Open send) to an explicit address.
Outcome judgeSend(int fd, const sockaddr* address, socklen_t length, int flags, const void* payload,
                  size_t payloadLength) {
  if (length == 0 || !isJudgedFamily(address, length)) return Outcome::kPass;
  if ((flags & MSG_FASTOPEN) != 0 && isStreamSocket(fd)) return judgeTcp(Proto::kSCTP, address, length);
  return judgeUdp(address, length, payload, payloadLength);
}

int refuse() {
  errno = EPERM;
  return -1;
}

}  // namespace

void resetProtocolLocks() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, renewLocksInChild); });
  gLocks.store(new ProtocolLocks(), std::memory_order_release);
}

namespace replacement {

int connect(int fd, const sockaddr* address, socklen_t length) noexcept {
  const ConnectFn real = orig_connect;
  if (!isJudgedFamily(address, length)) return real(fd, address, length);
  const int callerErrno = errno;
  Outcome outcome;
  {
    CancellationOff off;
    outcome = judgeTcp(Proto::kTCP, address, length);
  }
  if (outcome == Outcome::kDeny) return refuse();
  errno = callerErrno;
  return real(fd, address, length);
}

ssize_t sendto(int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
               socklen_t addressLength) noexcept {
  const SendtoFn real = orig_sendto;
  if (address == nullptr || addressLength == 0)
    return real(fd, buffer, length, flags, address, addressLength);
  const int callerErrno = errno;
  Outcome outcome;
  {
    CancellationOff off;
    outcome = judgeSend(fd, address, addressLength, flags, buffer, length);
  }
  if (outcome == Outcome::kDeny) return refuse();
  errno = callerErrno;
  return real(fd, buffer, length, flags, address, addressLength);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) noexcept {
  const SendmsgFn real = orig_sendmsg;
  if (message == nullptr || message->msg_name == nullptr || message->msg_namelen == 0)
    return real(fd, message, flags);
  const void* payload = nullptr;
  size_t payloadLength = 0;
  if (message->msg_iov != nullptr && message->msg_iovlen > 0) {
    payload = message->msg_iov[0].iov_base;
    payloadLength = message->msg_iov[0].iov_len;
  }
  const int callerErrno = errno;
  Outcome outcome;
  {
    CancellationOff off;
    outcome = judgeSend(fd, static_cast<const sockaddr*>(message->msg_name), message->msg_namelen, flags,
                        payload, payloadLength);
  }
  if (outcome == Outcome::kDeny) return refuse();
  errno = callerErrno;
  return real(fd, message, flags);
}

int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) noexcept {
  const SendmmsgFn real = orig_sendmmsg;
  if (messages == nullptr || count == 0) return real(fd, messages, count, flags);
  // Judge each datagram in turn; the ones before the first refused one go.
  const int callerErrno = errno;
  unsigned int allowed = 0;
  {
    CancellationOff off;
    for (; allowed < count; ++allowed) {
      const msghdr& h = messages[allowed].msg_hdr;
      if (h.msg_name == nullptr || h.msg_namelen == 0) continue;
      const void* payload = h.msg_iov != nullptr && h.msg_iovlen > 0 ? h.msg_iov[0].iov_base : nullptr;
      const size_t payloadLength = h.msg_iov != nullptr && h.msg_iovlen > 0 ? h.msg_iov[0].iov_len : 0;
      if (judgeSend(fd, static_cast<const sockaddr*>(h.msg_name), h.msg_namelen, flags, payload,
                    payloadLength) == Outcome::kDeny)
        break;
    }
  }
  if (allowed == 0) return refuse();
  errno = callerErrno;
  return real(fd, messages, allowed, flags);
}

int connectx(int fd, const sa_endpoints_t* endpoints, sae_associd_t associd, unsigned int flags,
             const iovec* iov, unsigned int iovcnt, size_t* len, sae_connid_t* connid) noexcept {
  const Connectx9Fn real = orig_connectx9;
  if (real == nullptr) return refuse();
  const int callerErrno = errno;
  auto callReal = [&] {
    errno = callerErrno;
    const int r = real(fd, endpoints, associd, flags, iov, iovcnt, len, connid);
    return r != 0 && errno == 3 ? 0 : r;
  };
  if (judgingManager() == nullptr) return callReal();
  if (endpoints == nullptr || endpoints->sae_dstaddr == nullptr) return callReal();
  if (!isJudgedFamily(endpoints->sae_dstaddr, endpoints->sae_dstaddrlen)) return callReal();
  Outcome outcome;
  {
    CancellationOff off;
    outcome = judgeTcp(Proto::kSCTP, endpoints->sae_dstaddr, endpoints->sae_dstaddrlen);
  }
  if (outcome == Outcome::kDeny) return refuse();
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
    return r != 0 && errno == 3 ? 0 : r;
  };
  if (judgingManager() == nullptr) return callReal();
  // The destination is judged; without one, the source.
  const sockaddr* judged = destination != nullptr ? destination : source;
  const socklen_t judgedLength = destination != nullptr ? destinationLength : sourceLength;
  if (!isJudgedFamily(judged, judgedLength)) return callReal();
  Outcome outcome;
  {
    CancellationOff off;
    outcome = judgeTcp(Proto::kSCTP, judged, judgedLength);
  }
  if (outcome == Outcome::kDeny) return refuse();
  return callReal();
}

}  // namespace replacement
}  // namespace kst
