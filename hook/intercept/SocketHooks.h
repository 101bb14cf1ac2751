#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "platform/substrate/LibcFunctionTypes.h"

// The replacements of the socket functions: each prepares the destination,
// runs the decision, and either calls the real function with the caller's
// arguments, refuses the call, or asks the person at SpringBoard's prompt
// and applies the answer. They run on the application's own threads. The
// rules are read without a lock, so a call the rules settle never waits;
// a call they do not settle takes its protocol's lock (TCP, connectx, UDP)
// and asks, so a process has at most one question per protocol at a time.
// Calls that wait while the question about their own destination (host
// text and port) is on screen take its answer instead of asking again.
//
// A refused call returns -1 with errno EPERM, which Linux documents for a
// connection refused by a local firewall rule; a call let through returns
// the real result and errno untouched.

// The endpoints record of connectx on the original platform.
typedef std::uint32_t sae_associd_t;
typedef std::uint32_t sae_connid_t;
struct sa_endpoints {
  unsigned int sae_srcif;
  const struct sockaddr* sae_srcaddr;
  socklen_t sae_srcaddrlen;
  const struct sockaddr* sae_dstaddr;
  socklen_t sae_dstaddrlen;
};
typedef struct sa_endpoints sa_endpoints_t;

namespace kst {

using Connectx9Fn = int (*)(int, const sa_endpoints_t*, sae_associd_t, unsigned int, const iovec*,
                            unsigned int, size_t*, sae_connid_t*);
using Connectx7Fn = int (*)(int, const sockaddr*, socklen_t, const sockaddr*, socklen_t, unsigned int,
                            sae_associd_t, sae_connid_t*);

// The real functions, filled by the hook installation; until then the C
// library's own.
extern ConnectFn orig_connect;
extern SendtoFn orig_sendto;
extern SendmsgFn orig_sendmsg;
extern SendmmsgFn orig_sendmmsg;
extern GetsockoptFn orig_getsockopt;
// Linux has no connectx; tests and the original platform's builds set these.
extern Connectx9Fn orig_connectx9;
extern Connectx7Fn orig_connectx7;

// The fixed companion-service host that is never judged.
inline constexpr const char* kCompanionHost = "kestrix-companion.local";

// The three protocol locks are created (again) whenever hooks are installed.
void resetProtocolLocks();

struct JudgedAddress;
// A call the replacements never saw (a program's own system call, handed
// over by kestrix-launch's filter), judged as they judge theirs: the same
// checks, decision, question and log line. `datagram`: a UDP send, with the
// start of its payload for the question; else a TCP connect. True: allowed.
bool judgeUnseenCall(bool datagram, const JudgedAddress& address, const void* payload,
                     size_t payloadLength) noexcept;

namespace replacement {

// A non-blocking connect that must ask returns -1 with EINPROGRESS at once
// and completes later (see ParkedConnects.h).
int connect(int fd, const sockaddr* address, socklen_t length) noexcept;
// Reads of SO_ERROR never see a parked socket in the middle of its switch.
int getsockopt(int fd, int level, int name, void* value, socklen_t* length) noexcept;
ssize_t sendto(int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
               socklen_t addressLength) noexcept;
// Datagrams sent to an explicit address are judged like sendto; a TCP Fast
// Open send on a stream socket is judged like connectx.
ssize_t sendmsg(int fd, const msghdr* message, int flags) noexcept;
int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) noexcept;
// connectx of the iOS 9 library and of the iOS 7/8 library.
int connectx(int fd, const sa_endpoints_t* endpoints, sae_associd_t associd, unsigned int flags,
             const iovec* iov, unsigned int iovcnt, size_t* len, sae_connid_t* connid) noexcept;
int connectx7(int fd, const sockaddr* source, socklen_t sourceLength, const sockaddr* destination,
              socklen_t destinationLength, unsigned int ifscope, sae_associd_t associd,
              sae_connid_t* connid) noexcept;

}  // namespace replacement
}  // namespace kst
