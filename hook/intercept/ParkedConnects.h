#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "hook/intercept/JudgedAddress.h"
#include "platform/substrate/LibcFunctionTypes.h"

namespace kst {

// Connects on non-blocking sockets that wait for a person's answer. Such a
// connect must return at once, so the socket is parked: it connects to a
// listener of the library on loopback that silently drops every handshake,
// so it stays "connecting" (no POLLOUT, SO_ERROR 0, getpeername ENOTCONN)
// and no packet goes towards its destination. A thread of the library asks
// the question; then the socket is undone (connect to AF_UNSPEC) and
// connected again, for real to its destination on an allow, or to a closed
// port of the library on loopback otherwise, which fails it as a refused
// connect does (POLLOUT|POLLERR|POLLHUP, SO_ERROR ECONNREFUSED). The
// program's poll, epoll and select registrations see either end as they
// would see a real one.
//
// A datagram socket's connect sends nothing and completes at once, so a
// parked one is connected at once to a sink of the library on loopback that
// drops what it is sent: what the program sends before the answer is lost,
// as datagrams may be, and nothing reaches the destination. On an allow it
// is connected to its destination; otherwise it stays on the sink. Until
// the answer, getpeername and getsockname show loopback addresses.
//
// The undo leaves a connection-reset error pending on the socket for a few
// microseconds and wakes its pollers; a program woken then reads SO_ERROR
// through the replaced getsockopt, which waits for the switch to end, so it
// never sees that error.
//
// While descriptors are plentiful (fewer parked than a quarter of the
// descriptor limit, and at most kMaxOwned) the library keeps a descriptor of
// its own for each parked socket, so the answer reaches the socket whatever
// the program does with its number (closes it, dup2s over it, forks and
// closes it in the parent). Beyond that a parked socket is reached through
// the program's number, checked to still name it; one the program closed or
// replaced is then left to the kernel, which gives up its handshake to the
// listener after about two minutes (ETIMEDOUT) if another process still
// holds it. A connect on a parked socket's number fails with EALREADY as on
// a connecting socket; a connect to AF_UNSPEC undoes the parking; a socket
// the program shut down meanwhile is left as it is. At most kMaxParked
// sockets are parked at once; beyond that, or when a socket cannot be
// parked (not TCP or UDP over IPv4 or IPv6, already connecting, a device binding
// that keeps it off loopback), the caller waits for the answer as a
// blocking connect does.
class ParkedConnects {
 public:
  static constexpr std::size_t kMaxParked = 4096;
  static constexpr std::size_t kMaxOwned = 1024;

  // The question for one parked socket, run on the library's thread: true
  // connects it, false refuses it.
  using Judge = std::function<bool()>;

  static ParkedConnects& process();

  // The real functions (the hooks' originals).
  void setReal(ConnectFn connect, GetsockoptFn getsockopt);

  // Parks `fd` on its way to `destination` and queues `judge`; false when it
  // cannot be parked (nothing about the socket changed then).
  bool park(int fd, const JudgedAddress& destination, Judge judge);

  // Whether `fd` is a parked socket now. Cheap when nothing is parked.
  bool isParked(int fd) const;
  // The program undoes its connect (AF_UNSPEC) or closes the number: the
  // number no longer names the parked socket. On an undo the socket is no
  // longer parked either.
  void programUndoes(int fd);
  void programCloses(int fd) { programCloses(fd, fd); }
  // The same for every number from first to last.
  void programCloses(int first, int last);

  // Runs `read` (a getsockopt of SO_ERROR) so that it never overlaps the
  // switch of a parked socket.
  int readError(const std::function<int()>& read) const;
  // Whether any socket is parked: one atomic load, no allocation, no lock
  // (safe in a signal handler).
  static bool anyParked();

  // How many sockets are parked now; how many of them the library may hold
  // descriptors of.
  std::size_t parkedCount() const;
  static std::size_t maxOwned();

  ParkedConnects(const ParkedConnects&) = delete;
  ParkedConnects& operator=(const ParkedConnects&) = delete;

  // The parked sockets and the asking thread's queue (the source file's).
  struct State;

 private:
  ParkedConnects() = default;
  State& state() const;
};

}  // namespace kst
