// A program of the end-to-end tests that names its destinations in the
// ways programs do, then connects: run under kestrix-launch, it prints one
// line per command on stdout (flushed at once) and exits 0. Commands:
//   gai NAME PORT FAMILY FLAGS   getaddrinfo with those hints (FAMILY 0, 4
//                                or 6; FLAGS a sum of the AI_ numbers),
//                                then a connect to the first address:
//                                "gai [canon=NAME] ADDRESS... ok|errno=N",
//                                or "gai error=N" when the lookup fails
//   hostr NAME PORT              gethostbyname_r, connect to the first:
//                                "hostr NAME ADDRESS ok|errno=N"
//   hostr2 NAME PORT FAMILY      the same with gethostbyname2_r
//   nameinfo IP                  getnameinfo with NI_NAMEREQD:
//                                "nameinfo NAME" or "nameinfo error=N"
//   tcp IP PORT                  a connect: "tcp ok|errno=N"
// A connect to an IPv4 address found for FAMILY 6 (mapped) goes out on a
// dual-stack IPv6 socket. Nothing here knows the firewall.

#include <arpa/inet.h>
#include <netdb.h>
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

void print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string outcome(const sockaddr* address, socklen_t length) {
  const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (address->sa_family == AF_INET6) {
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  errno = 0;
  const int rc = ::connect(fd, address, length);
  const int error = errno;
  ::close(fd);
  return rc == 0 ? "ok" : "errno=" + std::to_string(error);
}

std::string text(const sockaddr* a) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (a->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, buf, sizeof buf);
  else
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, buf, sizeof buf);
  return buf;
}

int familyOf(const std::string& f) {
  return f == "4" ? AF_INET : f == "6" ? AF_INET6 : AF_UNSPEC;
}

void gai(const std::string& name, const std::string& port, const std::string& family, int flags) {
  addrinfo hints{};
  hints.ai_family = familyOf(family);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), port.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) return print("gai error=" + std::to_string(rc));
  std::string line = "gai";
  if (list->ai_canonname != nullptr) line += std::string(" canon=") + list->ai_canonname;
  for (const addrinfo* r = list; r != nullptr; r = r->ai_next) line += " " + text(r->ai_addr);
  line += " " + outcome(list->ai_addr, list->ai_addrlen);
  ::freeaddrinfo(list);
  print(line);
}

void hostr(const std::string& command, const std::string& name, const std::string& port, int family) {
  hostent entry{};
  std::vector<char> buffer(16);  // too small at first: callers grow it on ERANGE
  hostent* result = nullptr;
  int error = 0;
  int rc = 0;
  for (;;) {
    rc =
        command == "hostr"
            ? ::gethostbyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result, &error)
            : ::gethostbyname2_r(name.c_str(), family, &entry, buffer.data(), buffer.size(), &result, &error);
    if (rc != ERANGE) break;
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || result == nullptr)
    return print(command + " error=" + std::to_string(rc) + "/" + std::to_string(error));
  sockaddr_in6 a{};
  socklen_t length = sizeof a;
  if (result->h_addrtype == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&a);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
    std::memcpy(&in->sin_addr, result->h_addr_list[0], 4);
    length = sizeof *in;
  } else {
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
    std::memcpy(&a.sin6_addr, result->h_addr_list[0], 16);
  }
  const auto* sa = reinterpret_cast<const sockaddr*>(&a);
  print(command + " " + result->h_name + " " + text(sa) + " " + outcome(sa, length));
}

void nameinfo(const std::string& ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return print("nameinfo error=bad-address");
  char host[NI_MAXHOST] = {};
  const int rc =
      ::getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  print(rc == 0 ? std::string("nameinfo ") + host : "nameinfo error=" + std::to_string(rc));
}

void tcp(const std::string& ip, const std::string& port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return print("tcp errno=" + std::to_string(EINVAL));
  print("tcp " + outcome(reinterpret_cast<sockaddr*>(&a), sizeof a));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t i = 0;
  auto has = [&](std::size_t n) { return i + n <= args.size(); };
  while (i < args.size()) {
    const std::string cmd = args[i++];
    if (cmd == "gai" && has(4)) {
      gai(args[i], args[i + 1], args[i + 2], std::atoi(args[i + 3].c_str()));
      i += 4;
    } else if (cmd == "hostr" && has(2)) {
      hostr(cmd, args[i], args[i + 1], AF_INET);
      i += 2;
    } else if (cmd == "hostr2" && has(3)) {
      hostr(cmd, args[i], args[i + 1], familyOf(args[i + 2]));
      i += 3;
    } else if (cmd == "nameinfo" && has(1)) {
      nameinfo(args[i++]);
    } else if (cmd == "tcp" && has(2)) {
      tcp(args[i], args[i + 1]);
      i += 2;
    } else {
      std::fprintf(stderr, "kst_e2e_names_client: bad command line\n");
      return 2;
    }
  }
  return 0;
}
