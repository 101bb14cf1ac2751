// A DNS lookup on loopback, straight to the server and through the
// supervisor's forwarder: on a kept socket (what the relay adds to each
// query) and with a socket of its own per lookup, as Go and the C library's
// resolver make one (the forwarder is then told of each new socket).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "tools/launch/DnsForwarder.h"

namespace {

// A query for "bench.test" (A), and the server's answer to any query: the
// same bytes with QR set, one A record.
std::string queryBytes() {
  const unsigned char q[] = {0x12, 0x34, 0x01, 0x00, 0, 1,   0,   0,   0,   0, 0, 0, 5, 'b',
                             'e',  'n',  'c',  'h',  4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
  return std::string(reinterpret_cast<const char*>(q), sizeof q);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  s.sin_port = htons(port);
  return s;
}

class Server {
 public:
  Server() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in s = loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&s), sizeof s);
    socklen_t length = sizeof address_;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
    thread_ = std::thread([this] { serve(); });
  }
  ~Server() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  const sockaddr_in& address() const { return address_; }

 private:
  void serve() {
    const unsigned char record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 0, 0, 1};
    char buffer[512];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer - sizeof record, 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 12) continue;
      buffer[2] = static_cast<char>(0x81);
      buffer[3] = static_cast<char>(0x80);
      buffer[7] = 1;
      std::memcpy(buffer + n, record, sizeof record);
      ::sendto(fd_, buffer, static_cast<std::size_t>(n) + sizeof record, 0,
               reinterpret_cast<sockaddr*>(&from), length);
    }
  }
  int fd_ = -1;
  sockaddr_in address_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One query and its answer on `fd`.
void lookup(benchmark::State& state, int fd, const std::string& query) {
  char answer[512];
  if (::send(fd, query.data(), query.size(), 0) != static_cast<ssize_t>(query.size()) ||
      ::recv(fd, answer, sizeof answer, 0) <= 0)
    state.SkipWithError("no answer");
}

// A socket connected to the server itself, or, with `forwarder`, to its end
// for the server as the supervisor connects it.
int connected(const Server& server, kst::launch::DnsForwarder* forwarder) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto* to = reinterpret_cast<const sockaddr*>(&server.address());
  if (forwarder == nullptr) {
    ::connect(fd, to, sizeof(sockaddr_in));
    return fd;
  }
  socklen_t length = 0;
  const auto end = forwarder->endFor(AF_INET, SOCK_DGRAM, to, sizeof(sockaddr_in), length);
  ::connect(fd, reinterpret_cast<const sockaddr*>(&*end), length);
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength);
  forwarder->expect(SOCK_DGRAM, reinterpret_cast<const sockaddr*>(&local), localLength, to,
                    sizeof(sockaddr_in));
  return fd;
}

void BM_Lookup(benchmark::State& state) {
  const bool forwarded = state.range(0) != 0;
  const bool socketPerLookup = state.range(1) != 0;
  Server server;
  kst::launch::DnsForwarder forwarder([](const std::string&, const kst::launch::DnsForwarder::Addresses&) {});
  if (forwarded && !forwarder.start()) return state.SkipWithError("no forwarder");
  const std::string query = queryBytes();
  int kept = socketPerLookup ? -1 : connected(server, forwarded ? &forwarder : nullptr);
  for (auto _ : state) {
    if (socketPerLookup) {
      const int fd = connected(server, forwarded ? &forwarder : nullptr);
      lookup(state, fd, query);
      ::close(fd);
    } else {
      lookup(state, kept, query);
    }
  }
  if (kept >= 0) ::close(kept);
}
BENCHMARK(BM_Lookup)
    ->ArgNames({"forwarded", "socketPerLookup"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
