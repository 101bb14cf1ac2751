#include "hook/intercept/DnsHooks.h"
#include "hook/intercept/DescriptorHooks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "hook/intercept/DnsSockets.h"
#include "hook/intercept/KstLookedUpNames.h"
#include "hook/intercept/SocketHooks.h"

namespace kst {
namespace {

using Bytes = std::vector<unsigned char>;

// A response to an A question for `name` with one address.
Bytes response(const std::string& name, const char* ip) {
  Bytes m = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(static_cast<unsigned char>(dot - start));
    for (std::size_t i = start; i < dot; ++i) m.push_back(static_cast<unsigned char>(name[i]));
    start = dot + 1;
  }
  const Bytes tail = {0, 0, 1, 0, 1, 0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
  m.insert(m.end(), tail.begin(), tail.end());
  unsigned char address[4];
  ::inet_pton(AF_INET, ip, address);
  m.insert(m.end(), address, address + 4);
  return m;
}

Bytes framed(const Bytes& message) {
  Bytes out = {static_cast<unsigned char>(message.size() >> 8),
               static_cast<unsigned char>(message.size() & 0xff)};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

std::string nameOf(const char* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return lookedUpNames().findName(reinterpret_cast<const sockaddr*>(&a), sizeof a).value_or("");
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// Two UDP sockets on loopback: the program's, and a server's that sends
// it datagrams.
class DnsHooksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    server_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    ASSERT_EQ(::bind(program_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof programAddress_;
    ::getsockname(program_, reinterpret_cast<sockaddr*>(&programAddress_), &len);
  }
  void TearDown() override {
    if (program_ >= 0) my_close(program_);
    ::close(server_);
  }
  void serverSends(const Bytes& b) {
    ASSERT_EQ(::sendto(server_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&programAddress_),
                       sizeof programAddress_),
              static_cast<ssize_t>(b.size()));
  }
  // The program's question to port 53 (nobody listens there): marks the socket.
  void programAsks() {
    const sockaddr_in dns = loopback(53);
    ASSERT_EQ(replacement::sendto(program_, "q", 1, 0, reinterpret_cast<const sockaddr*>(&dns), sizeof dns),
              1);
  }

  int program_ = -1;
  int server_ = -1;
  sockaddr_in programAddress_{};
};

TEST_F(DnsHooksTest, AnswersOnADnsSocketAreRecordedAndReachTheProgramUnchanged) {
  programAsks();
  EXPECT_EQ(dnsSockets().kindOf(program_), DnsSockets::Kind::kDatagram);
  const Bytes answer = response("Recvfrom.Test", "10.77.0.1");
  serverSends(answer);
  unsigned char buf[512];
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  errno = 0;
  const ssize_t n = my_recvfrom(program_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
  EXPECT_EQ(errno, 0);
  ASSERT_EQ(n, static_cast<ssize_t>(answer.size()));
  EXPECT_EQ(Bytes(buf, buf + n), answer);
  EXPECT_EQ(nameOf("10.77.0.1"), "recvfrom.test");

  // recv, read, recvmsg into two buffers and recvmmsg read the same way.
  serverSends(response("recv.test", "10.77.0.2"));
  EXPECT_GT(my_recv(program_, buf, sizeof buf, 0), 0);
  serverSends(response("read.test", "10.77.0.3"));
  EXPECT_GT(my_read(program_, buf, sizeof buf), 0);
  serverSends(response("recvmsg.test", "10.77.0.4"));
  iovec iov[2] = {{buf, 5}, {buf + 5, sizeof buf - 5}};
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = 2;
  EXPECT_GT(my_recvmsg(program_, &m, 0), 0);
  serverSends(response("recvmmsg.test", "10.77.0.5"));
  iovec one{buf, sizeof buf};
  mmsghdr mm{};
  mm.msg_hdr.msg_iov = &one;
  mm.msg_hdr.msg_iovlen = 1;
  EXPECT_EQ(my_recvmmsg(program_, &mm, 1, 0, nullptr), 1);
  EXPECT_EQ(nameOf("10.77.0.2"), "recv.test");
  EXPECT_EQ(nameOf("10.77.0.3"), "read.test");
  EXPECT_EQ(nameOf("10.77.0.4"), "recvmsg.test");
  EXPECT_EQ(nameOf("10.77.0.5"), "recvmmsg.test");

  // A peek is read again by the program: it counts when it is.
  serverSends(response("peek.test", "10.77.0.6"));
  EXPECT_GT(my_recv(program_, buf, sizeof buf, MSG_PEEK), 0);
  EXPECT_EQ(nameOf("10.77.0.6"), "");
  EXPECT_GT(my_recv(program_, buf, sizeof buf, 0), 0);
  EXPECT_EQ(nameOf("10.77.0.6"), "peek.test");
  // A buffer too small for the datagram: what the program got is all there is.
  serverSends(response("cut.test", "10.77.0.7"));
  EXPECT_EQ(my_recv(program_, buf, 20, MSG_TRUNC),
            static_cast<ssize_t>(response("cut.test", "10.77.0.7").size()));
  EXPECT_EQ(nameOf("10.77.0.7"), "");
}

TEST_F(DnsHooksTest, OtherSocketsAreNotReadAndCloseOrReuseEndsTheMark) {
  // Never sent to port 53: its bytes are not read.
  serverSends(response("not-dns.test", "10.78.0.1"));
  unsigned char buf[512];
  EXPECT_GT(my_recv(program_, buf, sizeof buf, 0), 0);
  EXPECT_EQ(nameOf("10.78.0.1"), "");

  // Marked, then closed behind the library's back; the number is reused.
  programAsks();
  const int number = program_;
  ASSERT_EQ(::syscall(SYS_close, program_), 0);
  const int reused = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(reused, number);
  program_ = reused;
  sockaddr_in a = loopback(0);
  ASSERT_EQ(::bind(program_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof programAddress_;
  ::getsockname(program_, reinterpret_cast<sockaddr*>(&programAddress_), &len);
  serverSends(response("reused.test", "10.78.0.2"));
  EXPECT_GT(my_recv(program_, buf, sizeof buf, 0), 0);
  EXPECT_EQ(nameOf("10.78.0.2"), "");
  EXPECT_EQ(dnsSockets().kindOf(program_), DnsSockets::Kind::kNone);

  // Closed through close: the mark goes at once.
  programAsks();
  EXPECT_NE(dnsSockets().kindOf(program_), DnsSockets::Kind::kNone);
  EXPECT_EQ(my_close(program_), 0);
  EXPECT_EQ(dnsSockets().kindOf(number), DnsSockets::Kind::kNone);
  program_ = -1;
}

TEST(DnsStreamTest, MessagesBehindTheirLengthInAnyPieces) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  dnsSockets().mark(pair[0]);
  ASSERT_EQ(dnsSockets().kindOf(pair[0]), DnsSockets::Kind::kStream);
  Bytes stream = framed(response("first.stream.test", "10.79.0.1"));
  const Bytes second = framed(response("second.stream.test", "10.79.0.2"));
  stream.insert(stream.end(), second.begin(), second.end());
  // Junk with a length that never completes follows.
  stream.insert(stream.end(), {0xff, 0xff, 1, 2, 3});
  ASSERT_EQ(::write(pair[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  Bytes got;
  unsigned char buf[3];
  while (got.size() < stream.size()) {
    const ssize_t n = got.size() % 2 == 0 ? my_read(pair[0], buf, sizeof buf) : my_recv(pair[0], buf, 1, 0);
    ASSERT_GT(n, 0);
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, stream);
  EXPECT_EQ(nameOf("10.79.0.1"), "first.stream.test");
  EXPECT_EQ(nameOf("10.79.0.2"), "second.stream.test");
  EXPECT_EQ(my_close(pair[0]), 0);
  ::close(pair[1]);
}

}  // namespace
}  // namespace kst
