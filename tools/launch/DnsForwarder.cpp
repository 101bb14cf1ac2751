#include "tools/launch/DnsForwarder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "hook/intercept/DnsResponse.h"

namespace kst::launch {

namespace {

// The largest DNS message, and a stream's length prefix before it.
constexpr std::size_t kMaxMessage = 65535;
constexpr std::size_t kLengthPrefix = 2;
// How long an accepted stream waits for the supervisor to say whose it is:
// the program's connect returns only after that, so it is there at once
// unless the program is gone.
constexpr auto kExpectWait = std::chrono::seconds(2);
// A stream's server has this long to accept, as a resolver would wait.
constexpr int kStreamConnectMs = 10'000;
// How often a waiting thread looks whether the forwarder is stopping.
constexpr int kStopCheckMs = 200;
// A program that connected and never sent is forgotten beyond this many.
constexpr std::size_t kMaxExpected = 4096;
// A send to a program or a server that does not read gives up after this.
constexpr timeval kSendTimeout{10, 0};

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::uint16_t portOf(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return 0;
}

// A loopback end of `family` and `type` on a port of the kernel's choice;
// -1 when the machine has none (IPv6 switched off).
int openEnd(int family, int type, std::uint16_t& port) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_storage a{};
  socklen_t length = 0;
  if (family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof v4;
  } else {
    const int only = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    length = sizeof v6;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, SOMAXCONN) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = portOf(a);
  return fd;
}

// Sends all of `data`, within the socket's send time-out.
bool sendAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// The whole messages of a stream's bytes so far (each without its length
// prefix), taken out of `pending`; the rest waits for more.
template <class Each>
void eachMessage(std::string& pending, Each each) {
  std::size_t at = 0;
  while (pending.size() - at >= kLengthPrefix) {
    const std::size_t length =
        static_cast<unsigned char>(pending[at]) << 8 | static_cast<unsigned char>(pending[at + 1]);
    if (pending.size() - at - kLengthPrefix < length) break;
    each(reinterpret_cast<const unsigned char*>(pending.data() + at + kLengthPrefix), length);
    at += kLengthPrefix + length;
  }
  pending.erase(0, at);
}

}  // namespace

// A datagram program: the socket its questions go out on (connected to its
// server, so only that server's answers come back on it) and the questions
// waiting for an answer.
struct DnsForwarder::Program {
  int upstream = -1;
  int listener = -1;  // the end it sent from, which answers go back through
  sockaddr_storage client{};
  socklen_t clientLength = 0;
  std::vector<Question> asked;
  Clock::time_point last;
  ~Program() { closeFd(upstream); }
};

DnsForwarder::DnsForwarder(Recorder recorder, const CallToken* token, Limits limits)
    : recorder_(std::move(recorder)), limits_(limits) {
  if (token != nullptr) token_ = *token;
}

DnsForwarder::~DnsForwarder() {
  {
    // Under the lock, so a stream waiting to be named sees it.
    std::lock_guard lock(expectMu_);
    stopping_ = true;
  }
  expectCv_.notify_all();
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  {
    std::unique_lock lock(streamMu_);
    streamCv_.wait(lock, [this] { return streams_ == 0; });
  }
  programs_.clear();
  for (int* fd : {&udp4_, &udp6_, &tcp4_, &tcp6_, &wake_}) closeFd(*fd);
}

bool DnsForwarder::start() {
  struct stat own {};
  if (::stat("/proc/self/ns/net", &own) == 0) {
    netDevice_ = static_cast<std::uint64_t>(own.st_dev);
    netInode_ = static_cast<std::uint64_t>(own.st_ino);
  }
  udp4_ = openEnd(AF_INET, SOCK_DGRAM, udp4Port_);
  tcp4_ = openEnd(AF_INET, SOCK_STREAM, tcp4Port_);
  udp6_ = openEnd(AF_INET6, SOCK_DGRAM, udp6Port_);
  tcp6_ = openEnd(AF_INET6, SOCK_STREAM, tcp6Port_);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (udp4_ < 0 || tcp4_ < 0 || wake_ < 0) return false;
  buffer_.resize(kMaxMessage);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::optional<sockaddr_storage> DnsForwarder::endFor(int domain, int type, const sockaddr* server,
                                                     socklen_t serverLength, socklen_t& endLength) const {
  if (!thread_.joinable() || server == nullptr || (type != SOCK_DGRAM && type != SOCK_STREAM))
    return std::nullopt;
  const bool stream = type == SOCK_STREAM;
  sockaddr_storage end{};
  if (domain == AF_INET && server->sa_family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(end);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(stream ? tcp4Port_ : udp4Port_);
    endLength = sizeof v4;
    return end;
  }
  if (domain != AF_INET6 || server->sa_family != AF_INET6 ||
      serverLength < sizeof(sockaddr_in6) - sizeof(std::uint32_t))
    return std::nullopt;
  const in6_addr& to = reinterpret_cast<const sockaddr_in6*>(server)->sin6_addr;
  auto& v6 = reinterpret_cast<sockaddr_in6&>(end);
  v6.sin6_family = AF_INET6;
  endLength = sizeof v6;
  if (IN6_IS_ADDR_V4MAPPED(&to)) {
    // ::ffff:127.0.0.1, the IPv4 end as a dual-stack socket reaches it.
    v6.sin6_addr.s6_addr[10] = 0xff;
    v6.sin6_addr.s6_addr[11] = 0xff;
    v6.sin6_addr.s6_addr[12] = 127;
    v6.sin6_addr.s6_addr[15] = 1;
    v6.sin6_port = htons(stream ? tcp4Port_ : udp4Port_);
    return end;
  }
  if ((stream ? tcp6_ : udp6_) < 0) return std::nullopt;
  v6.sin6_addr = in6addr_loopback;
  v6.sin6_port = htons(stream ? tcp6Port_ : udp6Port_);
  return end;
}

bool DnsForwarder::reaches(pid_t tid) const {
  if (netInode_ == 0) return true;  // no /proc: as if one namespace
  struct stat theirs {};
  const std::string path = "/proc/" + std::to_string(tid) + "/ns/net";
  return ::stat(path.c_str(), &theirs) == 0 && static_cast<std::uint64_t>(theirs.st_dev) == netDevice_ &&
         static_cast<std::uint64_t>(theirs.st_ino) == netInode_;
}

std::optional<DnsForwarder::Key> DnsForwarder::keyOf(const sockaddr* address, socklen_t length) {
  const std::optional<KstLookedUpNames::Address> a = KstLookedUpNames::addressOf(address, length);
  if (!a) return std::nullopt;
  sockaddr_storage copy{};
  std::memcpy(&copy, address, std::min<std::size_t>(length, sizeof copy));
  return Key{a->hi, a->lo, portOf(copy)};
}

void DnsForwarder::expect(int type, const sockaddr* client, socklen_t clientLength, const sockaddr* server,
                          socklen_t serverLength) {
  const std::optional<Key> key = keyOf(client, clientLength);
  if (!key || serverLength > sizeof(sockaddr_storage)) return;
  Expected e;
  std::memcpy(&e.server, server, serverLength);
  e.length = serverLength;
  e.at = Clock::now();
  {
    std::lock_guard lock(expectMu_);
    std::map<Key, Expected>& expected = type == SOCK_STREAM ? expectedStreams_ : expectedDatagrams_;
    if (expected.size() >= kMaxExpected && expected.find(*key) == expected.end()) {
      auto oldest = std::min_element(expected.begin(), expected.end(),
                                     [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
      expected.erase(oldest);
    }
    expected[*key] = e;
  }
  expectCv_.notify_all();
}

std::optional<DnsForwarder::Expected> DnsForwarder::takeExpected(int type, const Key& client, bool wait) {
  std::unique_lock lock(expectMu_);
  std::map<Key, Expected>& expected = type == SOCK_STREAM ? expectedStreams_ : expectedDatagrams_;
  auto found = expected.find(client);
  if (found == expected.end() && wait) {
    expectCv_.wait_for(lock, kExpectWait,
                       [&] { return stopping_ || (found = expected.find(client)) != expected.end(); });
  }
  if (found == expected.end()) return std::nullopt;
  Expected e = found->second;
  expected.erase(found);
  return e;
}

int DnsForwarder::connectUpstream(int type, const sockaddr_storage& server, socklen_t length) const {
  const int fd = ::socket(server.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const long rc =
      token_ ? ::syscall(SYS_connect, fd, &server, static_cast<long>(length), token_->first, token_->second)
             : ::connect(fd, reinterpret_cast<const sockaddr*>(&server), length);
  if (rc == 0) return fd;
  if (errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  for (int waited = 0; waited < kStreamConnectMs && !stopping_; waited += kStopCheckMs) {
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, kStopCheckMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) return fd;
    break;
  }
  ::close(fd);
  return -1;
}

void DnsForwarder::readAnswer(const unsigned char* message, std::size_t length,
                              std::vector<Question>& asked) {
  const std::optional<DnsQuestion> question = parseDnsQuestion(message, length);
  if (!question) return;
  auto it = std::find_if(asked.begin(), asked.end(),
                         [&](const Question& q) { return q.id == question->id && q.name == question->name; });
  if (it == asked.end()) return;  // no question of ours: relayed, never read
  asked.erase(it);
  const std::optional<DnsAnswer> answer = parseDnsResponse(message, length);
  if (!answer || answer->question != question->name) return;
  try {
    recorder_(answer->question, answer->addresses);
    ++counts_.recorded;
  } catch (...) {
    // A name not recorded: the connect is then judged by its address.
  }
}

void DnsForwarder::noteQuestion(const unsigned char* message, std::size_t length,
                                std::vector<Question>& asked) const {
  const std::optional<DnsQuestion> question = parseDnsQuestion(message, length);
  if (!question || (message[2] & 0x80) != 0) return;  // not a query
  if (asked.size() >= limits_.waitingQuestions) asked.erase(asked.begin());
  asked.push_back(Question{question->id, question->name});
}

void DnsForwarder::run() {
  std::vector<pollfd> fds;
  std::vector<Program*> owners;
  while (!stopping_) {
    if (programsChanged_) {
      fds.clear();
      owners.clear();
      for (int fd : {wake_, udp4_, udp6_, tcp4_, tcp6_}) {
        if (fd < 0) continue;
        fds.push_back(pollfd{fd, POLLIN, 0});
        owners.push_back(nullptr);
      }
      for (auto& [key, program] : programs_) {
        fds.push_back(pollfd{program->upstream, POLLIN, 0});
        owners.push_back(program.get());
      }
      programsChanged_ = false;
    }
    const int ready = ::poll(fds.data(), fds.size(), 1000);
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t i = 0; ready > 0 && i < fds.size() && !stopping_; ++i) {
      if (fds[i].revents == 0) continue;
      const int fd = fds[i].fd;
      if (fd == wake_) {
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(wake_, &drained, sizeof drained);
      } else if (fd == udp4_ || fd == udp6_) {
        fromProgram(fd);
      } else if (fd == tcp4_ || fd == tcp6_) {
        acceptStream(fd);
      } else if (owners[i] != nullptr) {
        fromServer(*owners[i]);
      }
    }
    forgetIdle(Clock::now());
    retired_.clear();
  }
}

void DnsForwarder::retire(std::map<Key, std::unique_ptr<Program>>::iterator it) {
  // Closed after this round of the loop, which may still hold it.
  retired_.push_back(std::move(it->second));
  programs_.erase(it);
  programsChanged_ = true;
}

const DnsForwarder::Route* DnsForwarder::routeOf(const Key& client, Clock::time_point now) {
  // A program (re)connected its socket to this end: it is for the server it
  // named last.
  if (std::optional<Expected> fresh = takeExpected(SOCK_DGRAM, client, false)) {
    if (auto it = programs_.find(client); it != programs_.end()) retire(it);
    if (routes_.size() >= limits_.routes && routes_.find(client) == routes_.end()) {
      // The eighth least recently used go at once, so a full table costs a
      // pass only now and then.
      std::vector<Clock::time_point> times;
      times.reserve(routes_.size());
      for (const auto& [key, route] : routes_) times.push_back(route.at);
      const std::size_t cut = std::max<std::size_t>(1, times.size() / 8) - 1;
      std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(cut), times.end());
      const Clock::time_point oldest = times[cut];
      std::erase_if(routes_, [&](const auto& entry) { return entry.second.at <= oldest; });
    }
    routes_[client] = *fresh;
  }
  auto route = routes_.find(client);
  if (route == routes_.end()) return nullptr;
  route->second.at = now;
  return &route->second;
}

void DnsForwarder::fromProgram(int listener) {
  sockaddr_storage from{};
  socklen_t fromLength = sizeof from;
  const ssize_t n = ::recvfrom(listener, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return;
  const std::optional<Key> key = keyOf(reinterpret_cast<const sockaddr*>(&from), fromLength);
  const Clock::time_point now = Clock::now();
  const Route* route = key ? routeOf(*key, now) : nullptr;
  if (route == nullptr) {
    ++counts_.dropped;  // from nobody this forwarder serves
    return;
  }
  auto it = programs_.find(*key);
  if (it == programs_.end()) {
    const int upstream = connectUpstream(SOCK_DGRAM, route->server, route->length);
    if (upstream < 0) {
      ++counts_.dropped;
      return;
    }
    if (programs_.size() >= limits_.programs) {
      retire(std::min_element(programs_.begin(), programs_.end(),
                              [](const auto& a, const auto& b) { return a.second->last < b.second->last; }));
    }
    auto program = std::make_unique<Program>();
    program->upstream = upstream;
    it = programs_.emplace(*key, std::move(program)).first;
    programsChanged_ = true;
  }
  Program& p = *it->second;
  p.listener = listener;
  p.client = from;
  p.clientLength = fromLength;
  p.last = now;
  const auto* message = reinterpret_cast<const unsigned char*>(buffer_.data());
  noteQuestion(message, static_cast<std::size_t>(n), p.asked);
  if (::send(p.upstream, message, static_cast<std::size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
    ++counts_.queries;
}

void DnsForwarder::fromServer(Program& p) {
  const ssize_t n = ::recv(p.upstream, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
  if (n < 0) return;  // a refusal from the server's host: the program waits its own time-out
  p.last = Clock::now();
  const auto* message = reinterpret_cast<const unsigned char*>(buffer_.data());
  readAnswer(message, static_cast<std::size_t>(n), p.asked);
  if (::sendto(p.listener, message, static_cast<std::size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&p.client), p.clientLength) >= 0)
    ++counts_.answers;
}

void DnsForwarder::forgetIdle(Clock::time_point now) {
  if (now - lastSweep_ < std::chrono::seconds(1)) return;
  lastSweep_ = now;
  for (auto it = programs_.begin(); it != programs_.end();) {
    if (now - it->second->last > limits_.idle) {
      retired_.push_back(std::move(it->second));
      it = programs_.erase(it);
      programsChanged_ = true;
    } else {
      ++it;
    }
  }
  std::lock_guard lock(expectMu_);
  for (std::map<Key, Expected>* expected : {&expectedDatagrams_, &expectedStreams_})
    std::erase_if(*expected, [&](const auto& entry) { return now - entry.second.at > limits_.idle; });
}

void DnsForwarder::acceptStream(int listener) {
  sockaddr_storage from{};
  socklen_t fromLength = sizeof from;
  int client = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &fromLength, SOCK_CLOEXEC);
  if (client < 0) return;
  const std::optional<Key> key = keyOf(reinterpret_cast<const sockaddr*>(&from), fromLength);
  {
    std::lock_guard lock(streamMu_);
    if (!key || streams_ >= limits_.streams) {
      ++counts_.dropped;
      closeFd(client);
      return;
    }
    ++streams_;
  }
  try {
    std::thread([this, client, key = *key] {
      if (std::optional<Expected> server = takeExpected(SOCK_STREAM, key, true)) {
        relayStream(client, *server);
      } else {
        ++counts_.dropped;
        ::close(client);
      }
      std::lock_guard lock(streamMu_);
      --streams_;
      streamCv_.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    closeFd(client);
    std::lock_guard lock(streamMu_);
    --streams_;
  }
}

void DnsForwarder::relayStream(int client, Expected server) {
  int upstream = connectUpstream(SOCK_STREAM, server.server, server.length);
  if (upstream < 0) {
    // As the server's own refusal would: the program's resolver moves on.
    ::close(client);
    return;
  }
  for (int fd : {client, upstream}) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  std::vector<Question> asked;
  std::string toServer, toProgram;  // bytes of messages not yet whole
  bool programDone = false, serverDone = false;
  std::vector<char> buffer(kMaxMessage);
  Clock::time_point last = Clock::now();
  while (!stopping_ && !(programDone && serverDone) && Clock::now() - last < limits_.idle) {
    pollfd p[2] = {{programDone ? -1 : client, POLLIN, 0}, {serverDone ? -1 : upstream, POLLIN, 0}};
    const int ready = ::poll(p, 2, kStopCheckMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    last = Clock::now();
    for (int side = 0; side < 2; ++side) {
      if (p[side].revents == 0) continue;
      const bool fromProgram = side == 0;
      const ssize_t n = ::recv(p[side].fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        // The program done asking: the server is told, and may still answer.
        // The server done: nothing more can come.
        if (fromProgram) {
          programDone = true;
          ::shutdown(upstream, SHUT_WR);
        } else {
          programDone = serverDone = true;
        }
        continue;
      }
      std::string& pending = fromProgram ? toServer : toProgram;
      pending.append(buffer.data(), static_cast<std::size_t>(n));
      eachMessage(pending, [&](const unsigned char* m, std::size_t length) {
        if (fromProgram) {
          noteQuestion(m, length, asked);
          ++counts_.queries;
        } else {
          readAnswer(m, length, asked);
          ++counts_.answers;
        }
      });
      if (!sendAll(fromProgram ? upstream : client, buffer.data(), static_cast<std::size_t>(n))) {
        programDone = serverDone = true;
        break;
      }
    }
  }
  ::close(upstream);
  ::close(client);
}

}  // namespace kst::launch
