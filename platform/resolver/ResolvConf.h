#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/FileChanges.h"

namespace kst {

// The nameservers of a resolver configuration in resolv.conf(5) format: per
// line a keyword and its values; only "nameserver ADDRESS" lines count here.
// An address is a plain IPv4 or IPv6 address, an IPv6 one optionally with a
// scope ("fe80::1%eth0" or "fe80::1%2"). Comments ("#" or ";" to the end of
// the line), blank lines, other keywords, junk, addresses that do not parse
// and anything past kMaxBytes are skipped; at most kMaxNameservers are kept,
// each once, in file order. Immutable once made; safe to share.
class ResolvConf {
 public:
  // More than any real configuration holds; a bigger file is cut there.
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 20;
  // More than the C library's three: programs that read the file themselves
  // (their own DNS clients) may use every line.
  static constexpr std::size_t kMaxNameservers = 16;
  static constexpr int kDnsPort = 53;

  struct Nameserver {
    sockaddr_in6 address{};  // AF_INET6; an IPv4 server in its mapped form
    std::string text;        // the numeric address as written, without a scope
  };

  ResolvConf() = default;
  // These servers, as they are (tests give them another port than 53).
  explicit ResolvConf(std::vector<Nameserver> nameservers) : nameservers_(std::move(nameservers)) {}
  static ResolvConf parse(std::string_view text);

  const std::vector<Nameserver>& nameservers() const { return nameservers_; }

  // Whether `address` (IPv4 or IPv6, any port) is one of the nameservers. An
  // IPv4 address and its mapped IPv6 form are one address; a scope counts
  // only when both sides name one.
  bool isNameserver(const sockaddr* address, socklen_t length) const;

 private:
  std::vector<Nameserver> nameservers_;
};

// The resolver configuration the firewall follows, read from a file once
// and again whenever the file changes (another inode, size or modification
// time), or appears or goes. A missing or unreadable file has no
// nameservers. Safe for concurrent use; a reader keeps the configuration it
// took even while the file is read anew.
class ResolvConfFile {
 public:
  explicit ResolvConfFile(std::string path);

  // The device's configuration: <root>/etc/resolv.conf when the device has
  // one, else the system's /etc/resolv.conf, as the device's hosts file
  // stands in front of the system's. Which of the two is chosen once, at
  // first use. Never destroyed.
  static ResolvConfFile& process();
  // The path process() reads for `root`.
  static std::string pathFor(const std::string& deviceRootDir);

  std::shared_ptr<const ResolvConf> current();
  const std::string& path() const { return path_; }

  // From now on, while `changes` says the file is watched, the file is read
  // again only when its generation moved, and not looked at otherwise.
  // `changes` must outlive this object.
  void followChanges(const FileChanges* changes) { changes_.store(changes, std::memory_order_release); }

 private:
  struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool operator==(const Identity&) const = default;
  };
  static Identity identityOf(const std::string& path);

  const std::string path_;
  std::atomic<const FileChanges*> changes_{nullptr};
  std::mutex mu_;
  bool read_ = false;
  bool identityKnown_ = false;  // identity_ is the file conf_ was read from
  Identity identity_;
  // The watch's generation the configuration was read at; kUnwatched when
  // it was read unwatched.
  std::uint64_t generation_ = FileChanges::kUnwatched;
  std::shared_ptr<const ResolvConf> conf_;
};

}  // namespace kst
