// What a parked non-blocking connect costs once the answer comes: the time
// from the answer to the connection being established (seen as POLLOUT
// with SO_ERROR 0 and a peer), against a plain non-blocking connect to the
// same loopback listener measured from its connect call. In process, with
// the library's parking as the hooks use it; the question itself (the
// person's time) is not part of it.
//
// Counters: median_us over the iterations.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <vector>

#include "hook/intercept/ParkedConnects.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEstablishedWithinMs = 5000;

// A loopback listener that takes every connection as it comes.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1024);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    address_ = *kst::judgedAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  const kst::JudgedAddress& address() const { return address_; }
  void drain() {
    for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0;) ::close(c);
  }

 private:
  int fd_ = -1;
  kst::JudgedAddress address_;
};

bool established(int fd) {
  pollfd p{fd, POLLOUT, 0};
  const auto deadline = Clock::now() + std::chrono::milliseconds(kEstablishedWithinMs);
  while (Clock::now() < deadline) {
    if (::poll(&p, 1, kEstablishedWithinMs) != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    kst::ParkedConnects::process().readError(
        [&] { return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length); });
    if (error != 0) return false;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) return true;
  }
  return false;
}

double medianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

void BM_PlainNonBlockingConnect(benchmark::State& state) {
  Listener listener;
  std::vector<double> us;
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const auto start = Clock::now();
    ::connect(fd, listener.address().get(), listener.address().length);
    if (!established(fd)) state.SkipWithError("not established");
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    ::close(fd);
    listener.drain();
  }
  state.counters["median_us"] = medianOf(us);
}
BENCHMARK(BM_PlainNonBlockingConnect)->Iterations(500)->UseRealTime();

void BM_ParkedConnectAnswerToEstablished(benchmark::State& state) {
  Listener listener;
  kst::ParkedConnects& parked = kst::ParkedConnects::process();
  parked.setReal(::connect, ::getsockopt);
  std::vector<double> us;
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::promise<void> answer;
    std::shared_future<void> given = answer.get_future().share();
    if (!parked.park(fd, listener.address(), [given] {
          given.wait();
          return true;
        })) {
      state.SkipWithError("not parked");
      ::close(fd);
      break;
    }
    const auto start = Clock::now();
    answer.set_value();
    if (!established(fd)) state.SkipWithError("not established");
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    ::close(fd);
    listener.drain();
  }
  state.counters["median_us"] = medianOf(us);
}
BENCHMARK(BM_ParkedConnectAnswerToEstablished)->Iterations(500)->UseRealTime();

// A parked datagram socket: from the answer to the socket being connected
// to its destination (what it sends from then on arrives there).
void BM_ParkedDatagramAnswerToConnected(benchmark::State& state) {
  const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t length = sizeof a;
  ::getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &length);
  const kst::JudgedAddress destination = *kst::judgedAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
  kst::ParkedConnects& parked = kst::ParkedConnects::process();
  parked.setReal(::connect, ::getsockopt);
  std::vector<double> us;
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::promise<void> answer;
    std::shared_future<void> given = answer.get_future().share();
    if (!parked.park(fd, destination, [given] {
          given.wait();
          return true;
        })) {
      state.SkipWithError("not parked");
      ::close(fd);
      break;
    }
    const auto start = Clock::now();
    answer.set_value();
    const auto deadline = start + std::chrono::milliseconds(kEstablishedWithinMs);
    for (;;) {
      sockaddr_in peer{};
      socklen_t peerLength = sizeof peer;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 && peer.sin_port == a.sin_port)
        break;
      if (Clock::now() > deadline) {
        state.SkipWithError("not connected");
        break;
      }
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    ::close(fd);
  }
  ::close(receiver);
  state.counters["median_us"] = medianOf(us);
}
BENCHMARK(BM_ParkedDatagramAnswerToConnected)->Iterations(500)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
