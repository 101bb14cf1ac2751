#include "platform/resolver/HostsFile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/resolver/ConfigTokens.h"
#include "platform/text/AsciiCase.h"

namespace kst {

namespace {

using resolver::isBlank;
using resolver::nextToken;

// A numeric address token: its family (AF_INET or AF_INET6) and bytes (an
// IPv4 address in the first four).
bool parseAddress(std::string_view token, int& family, std::array<unsigned char, 16>& bytes) {
  if (token.size() >= INET6_ADDRSTRLEN) return false;
  char buf[INET6_ADDRSTRLEN] = {};
  std::memcpy(buf, token.data(), token.size());
  bytes.fill(0);
  if (::inet_pton(AF_INET, buf, bytes.data()) == 1) {
    family = AF_INET;
    return true;
  }
  if (::inet_pton(AF_INET6, buf, bytes.data()) == 1) {
    family = AF_INET6;
    return true;
  }
  return false;
}

std::string textOf(int family, const std::array<unsigned char, 16>& bytes) {
  char buf[INET6_ADDRSTRLEN] = {};
  return ::inet_ntop(family, bytes.data(), buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

bool wanted(int family, AddressFamily asked) {
  switch (asked) {
    case AddressFamily::kAny:
      return true;
    case AddressFamily::kIPv4:
      return family == AF_INET;
    case AddressFamily::kIPv6:
      return family == AF_INET6;
  }
  return false;
}

bool isValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t more = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

// The whole file behind `fd`, up to the limit; nothing when it cannot be read.
std::optional<HostsFile> readFrom(int fd) {
  std::string text;
  char buf[16384];
  bool ok = true;
  // One byte past the limit tells the constructor that the file was cut.
  while (text.size() <= HostsFile::kMaxBytes) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  if (!ok) return std::nullopt;
  return HostsFile(std::move(text));
}

}  // namespace

HostsFile::HostsFile(std::string text) : text_(std::move(text)) {
  if (text_.size() > kMaxBytes) {
    text_.resize(kMaxBytes);
    text_.resize(text_.rfind('\n') + 1);  // a cut line would name a cut host; npos + 1 is 0
  }
  index();
}

void HostsFile::index() {
  const std::string_view text(text_);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view rest = text.substr(pos, end - pos);
    pos = end + 1;
    rest = rest.substr(0, rest.find('#'));
    const std::string_view addressToken = nextToken(rest);
    if (addressToken.empty()) continue;
    std::string_view names = rest;
    const std::string_view first = nextToken(names);
    if (first.empty()) continue;
    Line line;
    if (!parseAddress(addressToken, line.family, line.bytes)) continue;
    line.namesBegin = static_cast<std::uint32_t>(rest.data() - text.data());
    line.namesEnd = static_cast<std::uint32_t>(line.namesBegin + rest.size());
    const auto number = static_cast<std::uint32_t>(lines_.size());
    lines_.push_back(line);
    // Lines whose name is numeric or not valid UTF-8 never answer a reverse lookup.
    if (isNumericAddress(first) || !isValidUtf8(first)) continue;
    (line.family == AF_INET ? reverse4_ : reverse6_).push_back(Reverse{line.bytes, number});
  }
  std::sort(reverse4_.begin(), reverse4_.end());
  std::sort(reverse6_.begin(), reverse6_.end());
}

std::string_view HostsFile::names(const Line& line) const {
  return std::string_view(text_).substr(line.namesBegin, line.namesEnd - line.namesBegin);
}

std::optional<std::uint32_t> HostsFile::firstLine(const std::vector<Reverse>& table,
                                                  const std::array<unsigned char, 16>& bytes) {
  const auto it = std::lower_bound(table.begin(), table.end(), Reverse{bytes, 0});
  if (it == table.end() || it->bytes != bytes) return std::nullopt;
  return it->line;
}

std::optional<HostsFile> HostsFile::read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<HostsFile> hosts = readFrom(fd);
  ::close(fd);
  return hosts;
}

Resolver::Addresses HostsFile::addressesOf(std::string_view name, AddressFamily family) const {
  Resolver::Addresses out;
  if (name.empty()) return out;
  for (const Line& line : lines_) {
    std::string_view rest = names(line);
    for (std::string_view n = nextToken(rest); !n.empty(); n = nextToken(rest)) {
      if (!ascii::equalsIgnoringCase(n, name)) continue;
      if (wanted(line.family, family)) {
        std::string text = textOf(line.family, line.bytes);
        if (!text.empty() && std::find(out.begin(), out.end(), text) == out.end())
          out.push_back(std::move(text));
      }
      break;
    }
  }
  return out;
}

std::optional<std::string> HostsFile::canonicalNameOf(std::string_view name, AddressFamily family) const {
  if (name.empty()) return std::nullopt;
  for (const Line& line : lines_) {
    if (!wanted(line.family, family)) continue;
    std::string_view rest = names(line);
    const std::string_view canonical = nextToken(rest);
    bool listed = ascii::equalsIgnoringCase(canonical, name);
    for (std::string_view n = nextToken(rest); !listed && !n.empty(); n = nextToken(rest))
      listed = ascii::equalsIgnoringCase(n, name);
    if (listed) return std::string(canonical);
  }
  return std::nullopt;
}

std::optional<std::string> HostsFile::nameOf(const sockaddr* address, socklen_t length) const {
  if (address == nullptr) return std::nullopt;
  std::optional<std::uint32_t> line4;
  std::optional<std::uint32_t> line6;
  std::array<unsigned char, 16> bytes{};
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, sizeof(in_addr));
    line4 = firstLine(reverse4_, bytes);
  } else if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    std::memcpy(bytes.data(), &v6, sizeof v6);
    line6 = firstLine(reverse6_, bytes);
    // An IPv4 address mapped into IPv6 also matches its IPv4 lines.
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      std::array<unsigned char, 16> mapped{};
      std::memcpy(mapped.data(), v6.s6_addr + 12, sizeof(in_addr));
      line4 = firstLine(reverse4_, mapped);
    }
  } else {
    return std::nullopt;
  }
  if (!line4 && !line6) return std::nullopt;
  const std::uint32_t first = line4 && line6 ? std::min(*line4, *line6) : line4 ? *line4 : *line6;
  std::string_view rest = names(lines_[first]);
  return std::string(nextToken(rest));
}

bool CachedHostsFile::Identity::operator==(const Identity& o) const {
  return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
         modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
         changed.tv_nsec == o.changed.tv_nsec;
}

CachedHostsFile::Identity CachedHostsFile::identityOf(const struct stat& st) {
  return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

CachedHostsFile::CachedHostsFile(std::string path, const FileChanges* changes)
    : path_(std::move(path)), changes_(changes) {}

bool CachedHostsFile::settled(const timespec& modified) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - modified.tv_sec > kSettleSeconds;
}

namespace {

// Takes a mutex, but gives up after a few tries: a child forked while
// another thread held it would otherwise wait forever. Whoever does not get
// it reads the file without the cache.
class BoundedLock {
 public:
  explicit BoundedLock(std::mutex& mu) : mu_(mu) {
    for (int i = 0; i < 100 && !(owned_ = mu_.try_lock()); ++i) std::this_thread::yield();
  }
  ~BoundedLock() {
    if (owned_) mu_.unlock();
  }
  BoundedLock(const BoundedLock&) = delete;
  BoundedLock& operator=(const BoundedLock&) = delete;
  explicit operator bool() const { return owned_; }

 private:
  std::mutex& mu_;
  bool owned_ = false;
};

}  // namespace

std::shared_ptr<const HostsFile> CachedHostsFile::current() {
  // Only the pointer and the identity are guarded: the file is read and
  // parsed outside the lock, and an old version is freed outside it too.
  std::shared_ptr<const HostsFile> old;
  // Taken before the file is looked at: a change after this is a new
  // generation, and reads the file again.
  const std::uint64_t generation = changes_ != nullptr ? changes_->generation() : FileChanges::kUnwatched;
  if (generation != FileChanges::kUnwatched) {
    BoundedLock lock(mu_);
    if (lock && generation_ == generation) return file_;
  }
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    if (BoundedLock lock{mu_}) {
      known_ = false;
      old = std::move(file_);
      generation_ = generation;
    }
    return nullptr;
  }
  if (generation == FileChanges::kUnwatched) {
    BoundedLock lock(mu_);
    if (lock && known_ && identityOf(st) == identity_) return file_;
  }
  // Read through one descriptor, identified by its own fstat: a file
  // replaced between the stat above and this read is read again next time.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (BoundedLock lock{mu_}) {
      known_ = false;
      old = std::move(file_);
      generation_ = generation;
    }
    return nullptr;
  }
  struct stat opened {};
  std::optional<HostsFile> read = ::fstat(fd, &opened) == 0 ? readFrom(fd) : std::nullopt;
  ::close(fd);
  if (!read) {
    if (BoundedLock lock{mu_}) {
      known_ = false;
      old = std::move(file_);
      generation_ = generation;
    }
    return nullptr;
  }
  auto fresh = std::make_shared<const HostsFile>(std::move(*read));
  if (BoundedLock lock{mu_}) {
    old = std::move(file_);
    file_ = fresh;
    identity_ = identityOf(opened);
    known_ = settled(opened.st_mtim);
    generation_ = generation;
  }
  return fresh;
}

}  // namespace kst
