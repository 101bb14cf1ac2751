#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <functional>
#include <string>

#include "hook/intercept/JudgedAddress.h"

namespace kst {

// Datagrams sent on non-blocking sockets to destinations no rule decides.
// Such a send must not wait for a person, so it is accepted at once: a copy
// of the datagram is held here, with a descriptor of its own for the
// socket, and a thread of the library asks the question. When the answer
// allows it the held datagrams to that destination go out, in order, on
// their sockets; otherwise they are dropped, as a network may drop them.
//
// Bounded: at most kPerDestination datagrams per destination (address and
// port), kMaxHeld in all and kMaxBytes of copies; a datagram beyond a bound
// is dropped at once (its send still reports success, as UDP may lose it).
// One question per destination: the datagrams that come while it is asked
// wait for it.
//
// The asking thread (every signal blocked, its calls the library's own)
// starts with the first held datagram, and again in a forked child, whose
// held datagrams (the parent's) are dropped.
class HeldDatagrams {
 public:
  static constexpr std::size_t kPerDestination = 8;
  static constexpr std::size_t kMaxHeld = 64;
  static constexpr std::size_t kMaxBytes = 256 * 1024;

  // Judges one destination on the asking thread: true lets its datagrams go.
  using Judge = std::function<bool()>;
  // Sends one datagram for real; its result is not reported to anyone.
  using Send = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);

  // The process's one instance (never destroyed).
  static HeldDatagrams& process();

  // Holds a copy of the datagram `fd` sends to `destination`. `judge` is
  // run once per destination whose question is not yet under way. Returns
  // false when the datagram could not even be held (a bound, no
  // descriptor, no thread): it is lost.
  bool hold(int fd, const void* data, std::size_t length, int flags, const JudgedAddress& destination,
            Judge judge);

  // Sets the function that sends for real (the hooks' original sendto).
  void setSender(Send send);

  // How many datagrams are held now (for tests).
  std::size_t heldCount() const;

  HeldDatagrams(const HeldDatagrams&) = delete;
  HeldDatagrams& operator=(const HeldDatagrams&) = delete;

  // The held datagrams and the asking thread's queue (the source file's).
  struct State;

 private:
  HeldDatagrams() = default;
  State& state() const;
};

}  // namespace kst
