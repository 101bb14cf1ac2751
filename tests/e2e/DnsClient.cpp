// A program of the end-to-end tests with a DNS client of its own, as
// browsers and language runtimes have: it sends its questions to port 53
// and reads the answers itself, never through the C library's resolver.
// Run under kestrix-launch, it prints one line per command on stdout
// (flushed at once) and exits 0. Commands:
//   tcp IP PORT                    a connect: "tcp ok|errno=N"
//   udp IP PORT                    a datagram: "udp ok|errno=N"
//   query SERVER VIA NAME TYPE     one question (TYPE A or AAAA) to port 53
//                                  of SERVER, the answer read with VIA:
//                                  "query ADDRESS..." (the addresses of
//                                  TYPE in the answer), "query none", or
//                                  "query errno=N" when a call fails
//   resolve SERVER VIA NAME TYPE PORT
//                                  the same, then a connect to the first
//                                  address: "resolve ADDRESS ok|errno=N"
// VIA: recvfrom (sendto and recvfrom), recv, recvmsg (into two buffers),
// recvmmsg, read (a connected UDP socket), tcp (the length and the message
// read in pieces with read and recv), tcpmsg (recvmsg on TCP). Nothing here
// knows the firewall.

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string errnoText() {
  return "errno=" + std::to_string(errno);
}

bool parseAddress(const std::string& ip, int port, sockaddr_storage* out, socklen_t* length) {
  *out = {};
  auto* in = reinterpret_cast<sockaddr_in*>(out);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
  if (::inet_pton(AF_INET, ip.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    *length = sizeof(sockaddr_in);
    return true;
  }
  if (::inet_pton(AF_INET6, ip.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    *length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

std::string connectTo(const std::string& ip, int port, int type) {
  sockaddr_storage a{};
  socklen_t len = 0;
  if (!parseAddress(ip, port, &a, &len)) return "bad-address";
  const int fd = ::socket(a.ss_family, type | SOCK_CLOEXEC, 0);
  errno = 0;
  int rc = 0;
  if (type == SOCK_STREAM) {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), len);
  } else {
    rc = ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), len) == 1 ? 0 : -1;
  }
  const std::string result = rc == 0 ? "ok" : errnoText();
  ::close(fd);
  return result;
}

Bytes question(const std::string& name, int type) {
  Bytes q = {0x4b, 0x53, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q.push_back(static_cast<unsigned char>(dot - start));
    for (std::size_t i = start; i < dot; ++i) q.push_back(static_cast<unsigned char>(name[i]));
    start = dot + 1;
  }
  q.push_back(0);
  q.push_back(0);
  q.push_back(static_cast<unsigned char>(type));
  q.push_back(0);
  q.push_back(1);
  return q;
}

// The addresses of `type` in the answer section.
std::vector<std::string> addressesIn(const Bytes& reply, int type) {
  std::vector<std::string> out;
  ns_msg msg{};
  if (::ns_initparse(reply.data(), static_cast<int>(reply.size()), &msg) != 0) return out;
  for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
    ns_rr rr{};
    if (::ns_parserr(&msg, ns_s_an, i, &rr) != 0) break;
    if (ns_rr_type(rr) != type) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (type == ns_t_a && ns_rr_rdlen(rr) == 4) ::inet_ntop(AF_INET, ns_rr_rdata(rr), text, sizeof text);
    if (type == ns_t_aaaa && ns_rr_rdlen(rr) == 16) ::inet_ntop(AF_INET6, ns_rr_rdata(rr), text, sizeof text);
    if (text[0] != '\0') out.emplace_back(text);
  }
  return out;
}

bool readExactly(int fd, unsigned char* buf, std::size_t n, bool useRead) {
  std::size_t got = 0;
  while (got < n) {
    // In pieces of at most 5 bytes, as a program reading a stream may.
    const std::size_t piece = std::min<std::size_t>(n - got, 5);
    const ssize_t r = useRead ? ::read(fd, buf + got, piece) : ::recv(fd, buf + got, piece, 0);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// Sends the question and reads the reply as `via` says; the reply, or
// nothing with errno set.
bool exchange(const std::string& server, const std::string& via, const Bytes& q, Bytes* reply) {
  sockaddr_storage a{};
  socklen_t len = 0;
  if (!parseAddress(server, 53, &a, &len)) {
    errno = EINVAL;
    return false;
  }
  const bool stream = via == "tcp" || via == "tcpmsg";
  const int fd = ::socket(a.ss_family, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto fail = [&] {
    const int e = errno;
    ::close(fd);
    errno = e;
    return false;
  };
  reply->assign(65536, 0);
  ssize_t n = -1;
  if (via == "recvfrom") {
    if (::sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&a), len) < 0) return fail();
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    n = ::recvfrom(fd, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
  } else {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) return fail();
    if (stream) {
      Bytes framed = {static_cast<unsigned char>(q.size() >> 8), static_cast<unsigned char>(q.size() & 0xff)};
      framed.insert(framed.end(), q.begin(), q.end());
      if (::write(fd, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) return fail();
      unsigned char head[2];
      if (via == "tcpmsg") {
        iovec iov[2] = {{head, 2}, {reply->data(), reply->size()}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        n = ::recvmsg(fd, &m, MSG_WAITALL);
        if (n < 2) return fail();
        const std::size_t size = static_cast<std::size_t>(head[0] << 8 | head[1]);
        std::size_t got = static_cast<std::size_t>(n) - 2;
        while (got < size) {
          const ssize_t r = ::recv(fd, reply->data() + got, size - got, 0);
          if (r <= 0) return fail();
          got += static_cast<std::size_t>(r);
        }
        n = static_cast<ssize_t>(size);
      } else {
        if (!readExactly(fd, head, 2, true)) return fail();
        const std::size_t size = static_cast<std::size_t>(head[0] << 8 | head[1]);
        if (!readExactly(fd, reply->data(), size, false)) return fail();
        n = static_cast<ssize_t>(size);
      }
    } else {
      if (::send(fd, q.data(), q.size(), 0) < 0) return fail();
      if (via == "recv") {
        n = ::recv(fd, reply->data(), reply->size(), 0);
      } else if (via == "read") {
        n = ::read(fd, reply->data(), reply->size());
      } else if (via == "recvmsg") {
        iovec iov[2] = {{reply->data(), 7}, {reply->data() + 7, reply->size() - 7}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        n = ::recvmsg(fd, &m, 0);
      } else if (via == "recvmmsg") {
        iovec iov{reply->data(), reply->size()};
        mmsghdr m{};
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
        n = ::recvmmsg(fd, &m, 1, 0, nullptr) == 1 ? static_cast<ssize_t>(m.msg_len) : -1;
      } else {
        errno = EINVAL;
        return fail();
      }
    }
  }
  if (n < 0) return fail();
  reply->resize(static_cast<std::size_t>(n));
  ::close(fd);
  return true;
}

std::vector<std::string> query(const std::string& server, const std::string& via, const std::string& name,
                               const std::string& type, std::string* error) {
  const int t = type == "AAAA" ? ns_t_aaaa : ns_t_a;
  Bytes reply;
  if (!exchange(server, via, question(name, t), &reply)) {
    *error = errnoText();
    return {};
  }
  return addressesIn(reply, t);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size();) {
    const std::string& cmd = args[i];
    if ((cmd == "tcp" || cmd == "udp") && i + 2 < args.size()) {
      print(cmd + " " +
            connectTo(args[i + 1], std::atoi(args[i + 2].c_str()), cmd == "tcp" ? SOCK_STREAM : SOCK_DGRAM));
      i += 3;
    } else if (cmd == "query" && i + 4 < args.size()) {
      std::string error;
      const auto found = query(args[i + 1], args[i + 2], args[i + 3], args[i + 4], &error);
      std::string line = "query";
      if (!error.empty())
        line += " " + error;
      else if (found.empty())
        line += " none";
      for (const auto& a : found) line += " " + a;
      print(line);
      i += 5;
    } else if (cmd == "resolve" && i + 5 < args.size()) {
      std::string error;
      const auto found = query(args[i + 1], args[i + 2], args[i + 3], args[i + 4], &error);
      if (!error.empty()) {
        print("resolve " + error);
      } else if (found.empty()) {
        print("resolve none");
      } else {
        print("resolve " + found[0] + " " + connectTo(found[0], std::atoi(args[i + 5].c_str()), SOCK_STREAM));
      }
      i += 6;
    } else {
      std::fprintf(stderr, "bad command at %s\n", cmd.c_str());
      return 2;
    }
  }
  return 0;
}
