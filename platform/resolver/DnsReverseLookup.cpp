#include "platform/resolver/DnsReverseLookup.h"
#include "platform/text/AsciiCase.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace kst {

namespace {

using Clock = std::chrono::steady_clock;

// Room for any UDP reply a server sends without EDNS.
constexpr std::size_t kReplyBuffer = 4096;

// The question in wire form: header, the name's labels, type PTR, class IN.
std::vector<unsigned char> ptrQuery(const std::string& name, std::uint16_t id) {
  std::vector<unsigned char> q = {static_cast<unsigned char>(id >> 8),
                                  static_cast<unsigned char>(id & 0xff),
                                  0x01,
                                  0x00,  // recursion desired
                                  0,
                                  1,
                                  0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  0};
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q.push_back(static_cast<unsigned char>(dot - start));
    q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
             name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  q.push_back(0);
  const unsigned char tail[] = {0, ns_t_ptr, 0, ns_c_in};
  q.insert(q.end(), std::begin(tail), std::end(tail));
  return q;
}

std::uint16_t randomId() {
  std::uint16_t id = 0;
  if (::getrandom(&id, sizeof id, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof id))
    id = static_cast<std::uint16_t>(Clock::now().time_since_epoch().count());
  return id;
}

// What one reply says; nothing when it is not the reply to this question
// (another id, not a reply, another question), so the wait goes on.
std::optional<ReverseAnswer> readReply(const unsigned char* reply, std::size_t length, std::uint16_t id,
                                       const std::string& question, bool* serverFailed) {
  ns_msg msg{};
  if (::ns_initparse(reply, static_cast<int>(length), &msg) != 0) return std::nullopt;
  if (ns_msg_id(msg) != id || ns_msg_getflag(msg, ns_f_qr) == 0) return std::nullopt;
  if (ns_msg_count(msg, ns_s_qd) != 1) return std::nullopt;
  ns_rr rr{};
  if (::ns_parserr(&msg, ns_s_qd, 0, &rr) != 0 || ns_rr_type(rr) != ns_t_ptr ||
      !ascii::equalsIgnoringCase(ns_rr_name(rr), question))
    return std::nullopt;
  const int rcode = ns_msg_getflag(msg, ns_f_rcode);
  if (rcode == ns_r_nxdomain) return ReverseAnswer{ReverseStatus::kNoName, {}};
  if (rcode != ns_r_noerror || ns_msg_getflag(msg, ns_f_tc) != 0) {
    *serverFailed = true;
    return std::nullopt;
  }
  for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
    if (::ns_parserr(&msg, ns_s_an, i, &rr) != 0) break;
    if (ns_rr_type(rr) != ns_t_ptr || ns_rr_class(rr) != ns_c_in) continue;
    char name[NS_MAXDNAME] = {};
    if (::ns_name_uncompress(ns_msg_base(msg), ns_msg_end(msg), ns_rr_rdata(rr), name, sizeof name) < 0)
      continue;
    std::string text(name);
    if (text.size() > 1 && text.back() == '.') text.pop_back();
    if (text.empty() || text == ".") continue;
    return ReverseAnswer{ReverseStatus::kName, std::move(text)};
  }
  return ReverseAnswer{ReverseStatus::kNoName, {}};
}

// Asks one server; nothing when it failed or stayed silent until `deadline`.
std::optional<ReverseAnswer> askServer(const ResolvConf::Nameserver& ns, const std::string& question,
                                       Clock::time_point deadline) {
  const std::uint16_t id = randomId();
  const std::vector<unsigned char> query = ptrQuery(question, id);
  if (query.size() > NS_PACKETSZ) return std::nullopt;

  // An IPv4 server is asked over IPv4: a socket of that family works where
  // IPv6 is switched off.
  sockaddr_storage to{};
  socklen_t toLength = 0;
  const in6_addr& a6 = ns.address.sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&a6)) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = ns.address.sin6_port;
    std::memcpy(&in.sin_addr, a6.s6_addr + 12, sizeof in.sin_addr);
    std::memcpy(&to, &in, sizeof in);
    toLength = sizeof in;
  } else {
    std::memcpy(&to, &ns.address, sizeof ns.address);
    toLength = sizeof ns.address;
  }
  const int fd = ::socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::nullopt;
  std::optional<ReverseAnswer> answer;
  // Connected: the kernel drops datagrams from anyone but the server.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), toLength) == 0 &&
      ::send(fd, query.data(), query.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(query.size())) {
    unsigned char reply[kReplyBuffer];
    bool failed = false;
    while (!answer && !failed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) break;  // refused: nothing listens there
      answer = readReply(reply, static_cast<std::size_t>(n), id, question, &failed);
    }
  }
  ::close(fd);
  return answer;
}

}  // namespace

std::string reverseQueryName(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return {};
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  unsigned char bytes[16] = {};
  bool v4 = false;
  if (family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    v4 = true;
  } else if (family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    const in6_addr* a6 = reinterpret_cast<const in6_addr*>(bytes);
    if (IN6_IS_ADDR_V4MAPPED(a6)) {
      std::memmove(bytes, bytes + 12, 4);
      v4 = true;
    }
  } else {
    return {};
  }
  std::string name;
  if (v4) {
    for (int i = 3; i >= 0; --i) name += std::to_string(bytes[i]) + ".";
    return name + "in-addr.arpa";
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    name += kHex[bytes[i] & 0x0f];
    name += '.';
    name += kHex[bytes[i] >> 4];
    name += '.';
  }
  return name + "ip6.arpa";
}

ReverseAnswer dnsReverseLookup(const ResolvConf& conf, const sockaddr* address, socklen_t length,
                               std::chrono::milliseconds budget) {
  const std::string question = reverseQueryName(address, length);
  if (question.empty()) return {ReverseStatus::kNoName, {}};
  const auto end = Clock::now() + budget;
  const std::vector<ResolvConf::Nameserver>& servers = conf.nameservers();
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const auto now = Clock::now();
    if (now >= end) break;
    // The time left, shared out between the servers not yet asked.
    const auto share = (end - now) / static_cast<long>(servers.size() - i);
    if (std::optional<ReverseAnswer> answer = askServer(servers[i], question, now + share)) return *answer;
  }
  return {ReverseStatus::kNoAnswer, {}};
}

}  // namespace kst
