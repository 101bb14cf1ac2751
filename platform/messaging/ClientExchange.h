#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/plist/PlistValue.h"

namespace kst::messaging {

// The client side of one exchange with a service, bounded in time: the
// library lives inside other people's programs, and a shell that is hung,
// stopped or answers nonsense must cost a caller at most these limits.
struct ExchangeLimits {
  // Connecting (waits only while the service's backlog is full).
  std::chrono::milliseconds connect;
  // Writing the whole request.
  std::chrono::milliseconds send;
  // Reading the whole reply after the request went out, plus one second
  // for every 16 MiB the reply's header announces; for a question, how long
  // the service may take to read the request.
  std::chrono::milliseconds reply;
  // After a service timed out, further calls to the same socket give up at
  // once for this long; after it refused (a socket file left by a server
  // that is gone), for a second at most. A service started anew (a new
  // socket file) is tried at once; an absent one costs one failed stat,
  // which is no more than a back-off would.
  std::chrono::milliseconds backOff;
};

// Chosen for a shell that answers from its main loop in milliseconds: a
// loaded machine stays well inside them, a stopped shell costs one caller
// at most 5 s and then, for 5 s, nobody anything.
inline constexpr ExchangeLimits kDefaultExchangeLimits{
    std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), std::chrono::milliseconds(3000),
    std::chrono::milliseconds(5000)};

enum class ReplyWait {
  // The reply must arrive within `reply`.
  kBounded,
  // A question to a person: the service must take the request within
  // `reply`, then the reply may take as long as the service's end of the
  // connection lives to begin, and once begun, `reply` to end. A question
  // is tried even while the service is backed off: only a service that is
  // absent, refuses, or does not take it within `reply` fails it.
  kWhilePeerLives,
};

enum class Outcome {
  kDone,       // sent (and, when waiting, a reply frame read)
  kAbsent,     // no socket file: nobody has served there, or it was removed
  kBackedOff,  // given up at once: the service timed out or refused lately
  kRefused,    // a socket file nobody listens on (its server is gone)
  kTimedOut,   // a limit ran out; the service is backed off
  kBroken,     // the connection failed or closed before a whole reply
};

struct Exchanged {
  Outcome outcome = Outcome::kBroken;
  // The reply; empty unless the outcome is kDone and the reply decoded.
  plist::Dictionary reply;
};

// Sends one whole request frame to the service socket at `path` and reads
// the reply frame. Never throws; safe from any thread and in a forked child.
Exchanged exchange(const std::string& path, std::string_view frame, const ExchangeLimits& limits,
                   ReplyWait wait);

// One-way send: never blocks the caller. A full backlog (kTimedOut) or a
// socket that cannot take the whole frame at once drops the message; as that
// cost nothing it starts no back-off, but a service backed off by a waiting
// exchange is not tried.
Outcome sendOneWay(const std::string& path, std::string_view frame);

// Forgets every back-off (tests).
void clearBackOffs();

}  // namespace kst::messaging
