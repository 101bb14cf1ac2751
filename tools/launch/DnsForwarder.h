#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hook/intercept/JudgedCall.h"
#include "hook/intercept/KstLookedUpNames.h"

namespace kst::launch {

// The DNS relay of a supervised tree. A supervised program's socket headed
// for port 53 is connected to one of the forwarder's loopback ends instead;
// the forwarder relays every query to the server the program asked for and
// every answer back unchanged, and on the way reads the answers to the
// questions it relayed: address -> the name asked for, through CNAME chains.
// So a program that resolves names itself, over its own sockets (Go, a
// statically linked C library), is judged by the name it asked for.
//
// Only an answer that matches a question this forwarder relayed for that
// program (ID and name) is read; whatever else arrives is relayed but never
// recorded. Everything is bounded: programs, questions waiting per program,
// streams at once, message size. A server that never answers leaves the
// program to its own time-out, as without the forwarder.
class DnsForwarder {
 public:
  using Addresses = std::vector<KstLookedUpNames::Address>;
  // Told each name an answer gave addresses for; on the forwarder's thread.
  using Recorder = std::function<void(const std::string& name, const Addresses& addresses)>;

  struct Limits {
    std::size_t programs = 256;         // datagram sockets with a server socket open at once
    std::size_t routes = 4096;          // datagram sockets whose server is remembered
    std::size_t waitingQuestions = 64;  // per datagram socket
    std::size_t streams = 64;           // TCP connections at once
    // A server socket (and a stream) unused this long is closed; the
    // program's socket keeps its route and gets a new one when it asks again.
    std::chrono::milliseconds idle{30'000};
  };

  struct Counts {
    std::atomic<std::uint64_t> queries{0};   // relayed to a server
    std::atomic<std::uint64_t> answers{0};   // relayed back to a program
    std::atomic<std::uint64_t> recorded{0};  // answers whose names were recorded
    std::atomic<std::uint64_t> dropped{0};   // from nobody expected, or past a bound
  };

  // The forwarder's own connects carry `token` (under an outer supervisor
  // they are not judged again); null: plain calls.
  DnsForwarder(Recorder recorder, const CallToken* token, Limits limits);
  explicit DnsForwarder(Recorder recorder, const CallToken* token = nullptr)
      : DnsForwarder(std::move(recorder), token, Limits{}) {}
  DnsForwarder(const DnsForwarder&) = delete;
  DnsForwarder& operator=(const DnsForwarder&) = delete;
  ~DnsForwarder();

  // Opens the loopback ends (IPv4, and IPv6 where the machine has it) and
  // starts relaying; false when not even the IPv4 ends could be had.
  bool start();

  // The end a socket of `domain` (AF_INET or AF_INET6) and `type`
  // (SOCK_DGRAM or SOCK_STREAM) is to be connected to instead of `server`;
  // nothing when the forwarder has no end for it (the socket then goes to
  // the server itself). An IPv6 socket headed for an IPv4-mapped server gets
  // the IPv4 end in mapped form.
  std::optional<sockaddr_storage> endFor(int domain, int type, const sockaddr* server, socklen_t serverLength,
                                         socklen_t& endLength) const;

  // Whether thread `tid` is in the forwarder's network namespace, so its
  // sockets can reach the loopback ends; a program in one of its own (a
  // container, `unshare -n`) has its DNS go to the server directly.
  bool reaches(pid_t tid) const;

  // After a program's socket was connected to endFor(): what comes from its
  // address `client` is for `server`. Any thread.
  void expect(int type, const sockaddr* client, socklen_t clientLength, const sockaddr* server,
              socklen_t serverLength);

  const Counts& counts() const { return counts_; }

 private:
  // A program's socket: its address (IPv4 in mapped form) and port.
  struct Key {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    std::uint16_t port = 0;
    auto operator<=>(const Key&) const = default;
  };
  struct Question {
    std::uint16_t id = 0;
    std::string name;
  };
  struct Program;  // a datagram program's upstream socket and questions
  struct Expected {
    sockaddr_storage server{};
    socklen_t length = 0;
    std::chrono::steady_clock::time_point at;
  };
  using Route = Expected;  // where a program's datagram socket goes, and when it last sent

  static std::optional<Key> keyOf(const sockaddr* address, socklen_t length);
  int connectUpstream(int type, const sockaddr_storage& server, socklen_t length) const;
  std::optional<Expected> takeExpected(int type, const Key& client, bool wait);

  void run();
  void retire(std::map<Key, std::unique_ptr<Program>>::iterator it);
  const Route* routeOf(const Key& client, std::chrono::steady_clock::time_point now);
  void fromProgram(int listener);
  void fromServer(Program& program);
  void acceptStream(int listener);
  void relayStream(int client, Expected server);
  void forgetIdle(std::chrono::steady_clock::time_point now);

  // A query's question joins `asked` (the oldest out past the bound).
  void noteQuestion(const unsigned char* message, std::size_t length, std::vector<Question>& asked) const;
  // The names an answer to one of `asked` gives; the question is then done.
  void readAnswer(const unsigned char* message, std::size_t length, std::vector<Question>& asked);

  Recorder recorder_;
  std::optional<CallToken> token_;
  Limits limits_;
  Counts counts_;

  int udp4_ = -1, udp6_ = -1, tcp4_ = -1, tcp6_ = -1;
  // The forwarder's network namespace (inode 0: unknown, /proc not read).
  std::uint64_t netDevice_ = 0, netInode_ = 0;
  std::uint16_t udp4Port_ = 0, udp6Port_ = 0, tcp4Port_ = 0, tcp6Port_ = 0;
  int wake_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  std::mutex expectMu_;
  std::condition_variable expectCv_;
  std::map<Key, Expected> expectedDatagrams_;  // guarded by expectMu_
  std::map<Key, Expected> expectedStreams_;    // guarded by expectMu_

  // The forwarder's thread only.
  std::map<Key, Route> routes_;
  std::map<Key, std::unique_ptr<Program>> programs_;
  bool programsChanged_ = true;
  std::chrono::steady_clock::time_point lastSweep_;
  std::vector<std::unique_ptr<Program>> retired_;
  std::vector<char> buffer_;

  std::mutex streamMu_;
  std::condition_variable streamCv_;
  std::size_t streams_ = 0;  // guarded by streamMu_
};

}  // namespace kst::launch
