#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "hook/intercept/SocketHooks.h"

namespace kst {

// Under kestrix-launch's system-call filter, every connect and addressed
// send goes to the launcher's supervisor, except a call that carries the
// launch's token in arguments the kernel ignores: the calls these
// replacements have already judged (or chose not to judge). The token
// reaches the process in KESTRIX_CALL_TOKEN (32 hex digits); without it the
// real functions are called as they are.
//
// Each function does for its caller exactly what the real one does: same
// result, errno, restart after a handler, and cancellation point (they are
// not noexcept: cancellation unwinds through them). A sendto to an address
// is made as sendmsg with msg_name, the one form with spare arguments.
inline constexpr const char* kCallTokenVariable = "KESTRIX_CALL_TOKEN";

struct CallToken {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  bool operator==(const CallToken&) const = default;
};

// The token of 32 hex digits; nothing for anything else.
std::optional<CallToken> parseCallToken(std::string_view text) noexcept;

// The process's token, read from the environment once; nothing without one.
std::optional<CallToken> processCallToken() noexcept;

namespace judged {

int connect(ConnectFn real, int fd, const sockaddr* address, socklen_t length);
ssize_t sendto(SendtoFn real, int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
               socklen_t addressLength);
ssize_t sendmsg(SendmsgFn real, int fd, const msghdr* message, int flags);
int sendmmsg(SendmmsgFn real, int fd, mmsghdr* messages, unsigned int count, int flags);

}  // namespace judged
}  // namespace kst
