#pragma once

#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/FileChanges.h"
#include "platform/resolver/Resolver.h"

namespace kst {

// The device's hosts file, in hosts(5) format: per line a numeric address,
// the host's canonical name and any aliases, separated by blanks; "#" starts
// a comment. Names match without regard to ASCII case. A line whose address
// is not a plain IPv4 or IPv6 address (a scope suffix included), or that
// names no host, is skipped; so is anything past kMaxBytes. Bytes are taken
// as they come, so garbage and text that is not UTF-8 only fail to match.
// Parsed once when made (each address once, an index of the addresses for
// the reverse lookup), immutable afterwards; safe to share between threads.
class HostsFile {
 public:
  static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;

  explicit HostsFile(std::string text);
  // The file at `path`; nothing when it is missing or cannot be read.
  static std::optional<HostsFile> read(const std::string& path);

  // Every address listed for `name` in `family`, in file order, each once,
  // as normalised numeric text. Empty when no line names it.
  Resolver::Addresses addressesOf(std::string_view name, AddressFamily family) const;

  // The canonical name (the first name) of the first line that lists
  // `name` with an address of `family`; nothing when none does.
  std::optional<std::string> canonicalNameOf(std::string_view name, AddressFamily family) const;

  // The canonical name on the first line listing the address (an IPv4
  // address mapped into IPv6 also matches its IPv4 lines). Lines whose name
  // is numeric or not valid UTF-8 do not count.
  std::optional<std::string> nameOf(const sockaddr* address, socklen_t length) const;

 private:
  // One line with a usable address: the address and where its names are in
  // the text (offsets, so that moving the text keeps them valid).
  struct Line {
    int family = 0;
    std::array<unsigned char, 16> bytes{};
    std::uint32_t namesBegin = 0;
    std::uint32_t namesEnd = 0;
  };
  // A line that answers a reverse lookup, by address; sorted by address,
  // then by line.
  struct Reverse {
    std::array<unsigned char, 16> bytes{};
    std::uint32_t line = 0;
    bool operator<(const Reverse& o) const { return bytes != o.bytes ? bytes < o.bytes : line < o.line; }
  };

  void index();
  std::string_view names(const Line& line) const;
  // The first line (in file order) of `table` for `bytes`; nullopt when none.
  static std::optional<std::uint32_t> firstLine(const std::vector<Reverse>& table,
                                                const std::array<unsigned char, 16>& bytes);

  std::string text_;
  std::vector<Line> lines_;
  std::vector<Reverse> reverse4_;  // IPv4 lines (bytes 0..3) whose first name is a usable name
  std::vector<Reverse> reverse6_;  // the same for IPv6 lines
};

// The hosts file at a path as last read: read again only when the file on
// disk is another one, or its size, modification or change time differ, so
// an edit counts from the next lookup on and an unchanged file costs one
// stat. A file modified within the last kSettleSeconds is not trusted to
// keep its identity (two edits inside one tick of the file system's clock
// leave the same times): it is read again at every lookup until it is
// older. Safe for concurrent use, and after fork: the lock is only ever
// tried, a lookup that cannot take it reads the file itself.
class CachedHostsFile {
 public:
  static constexpr long kSettleSeconds = 2;

  // With `changes` (which must outlive this object), while the file is
  // watched it is read again only when its generation moved, and not
  // looked at otherwise.
  explicit CachedHostsFile(std::string path, const FileChanges* changes = nullptr);

  // The file now; null when it is missing or cannot be read.
  std::shared_ptr<const HostsFile> current();

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Identity& o) const;
  };
  static Identity identityOf(const struct stat& st);
  // Whether a file modified at `modified` is old enough to be cached.
  static bool settled(const timespec& modified);

  const std::string path_;
  const FileChanges* const changes_;
  std::mutex mu_;
  bool known_ = false;  // file_ is the file of identity_; guarded by mu_, as the three below
  Identity identity_;
  // The watch's generation file_ was read at (null: the file was missing);
  // kUnwatched when it was read unwatched.
  std::uint64_t generation_ = FileChanges::kUnwatched;
  std::shared_ptr<const HostsFile> file_;
};

}  // namespace kst
