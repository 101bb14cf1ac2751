#include "hook/intercept/JudgedCall.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace kst {

namespace {

constexpr std::size_t kTokenDigits = 32;
constexpr std::size_t kHalfDigits = kTokenDigits / 2;
constexpr unsigned kBitsPerDigit = 4;
constexpr int kDecimalDigits = 10;

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + kDecimalDigits;
  if (c >= 'A' && c <= 'F') return c - 'A' + kDecimalDigits;
  return -1;
}

// Read at the first call, from any thread or a signal handler: plain atomics,
// no lock; two threads that race compute the same value.
enum class TokenState : int { kUnread, kAbsent, kPresent };
std::atomic<int> gTokenState{static_cast<int>(TokenState::kUnread)};
std::atomic<std::uint64_t> gTokenFirst{0};
std::atomic<std::uint64_t> gTokenSecond{0};

// A raw system call that stays the cancellation point its C library
// function is: cancellation acts while it blocks, as it would there.
// pthread_setcanceltype is safe under asynchronous cancellation, and with
// cancellation disabled the type changes nothing.
template <class... Args>
long cancellableSyscall(long number, int fd, Args... args) {
  int oldType = PTHREAD_CANCEL_DEFERRED;
  ::pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &oldType);
  const long result = ::syscall(number, static_cast<long>(fd), args...);
  const int err = errno;
  ::pthread_setcanceltype(oldType, nullptr);
  errno = err;
  return result;
}

}  // namespace

std::optional<CallToken> parseCallToken(std::string_view text) noexcept {
  if (text.size() != kTokenDigits) return std::nullopt;
  CallToken token;
  for (std::size_t i = 0; i < kTokenDigits; ++i) {
    const int v = hexValue(text[i]);
    if (v < 0) return std::nullopt;
    std::uint64_t& half = i < kHalfDigits ? token.first : token.second;
    half = (half << kBitsPerDigit) | static_cast<std::uint64_t>(v);
  }
  return token;
}

std::optional<CallToken> processCallToken() noexcept {
  int state = gTokenState.load(std::memory_order_acquire);
  if (state == static_cast<int>(TokenState::kUnread)) {
    const char* text = std::getenv(kCallTokenVariable);
    const std::optional<CallToken> token = text != nullptr ? parseCallToken(text) : std::nullopt;
    if (token) {
      gTokenFirst.store(token->first, std::memory_order_relaxed);
      gTokenSecond.store(token->second, std::memory_order_relaxed);
    }
    state = static_cast<int>(token ? TokenState::kPresent : TokenState::kAbsent);
    gTokenState.store(state, std::memory_order_release);
  }
  if (state != static_cast<int>(TokenState::kPresent)) return std::nullopt;
  return CallToken{gTokenFirst.load(std::memory_order_relaxed), gTokenSecond.load(std::memory_order_relaxed)};
}

namespace judged {

int connect(ConnectFn real, int fd, const sockaddr* address, socklen_t length) {
  const std::optional<CallToken> token = processCallToken();
  if (!token) return real(fd, address, length);
  return static_cast<int>(
      cancellableSyscall(SYS_connect, fd, address, static_cast<long>(length), token->first, token->second));
}

ssize_t sendto(SendtoFn real, int fd, const void* buffer, size_t length, int flags, const sockaddr* address,
               socklen_t addressLength) {
  const std::optional<CallToken> token = processCallToken();
  // Without an address the filter passes sendto itself; an address of no
  // length is not the same as no msg_name (the kernel refuses the first), so
  // it goes as it is.
  if (!token || address == nullptr || addressLength == 0)
    return real(fd, buffer, length, flags, address, addressLength);
  iovec data{const_cast<void*>(buffer), length};
  msghdr message{};
  message.msg_name = const_cast<sockaddr*>(address);
  message.msg_namelen = addressLength;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  return cancellableSyscall(SYS_sendmsg, fd, &message, static_cast<long>(flags), token->first, token->second);
}

ssize_t sendmsg(SendmsgFn real, int fd, const msghdr* message, int flags) {
  const std::optional<CallToken> token = processCallToken();
  if (!token) return real(fd, message, flags);
  return cancellableSyscall(SYS_sendmsg, fd, message, static_cast<long>(flags), token->first, token->second);
}

int sendmmsg(SendmmsgFn real, int fd, mmsghdr* messages, unsigned int count, int flags) {
  const std::optional<CallToken> token = processCallToken();
  if (!token) return real(fd, messages, count, flags);
  return static_cast<int>(cancellableSyscall(SYS_sendmmsg, fd, messages, static_cast<long>(count),
                                             static_cast<long>(flags), token->first, token->second));
}

}  // namespace judged
}  // namespace kst
