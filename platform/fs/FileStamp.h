#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kst {

// What tells one version of a file from another without reading it: its
// file (device, inode; an atomic replace makes a new one), size and
// modification time. Absent when the file is missing or cannot be looked at.
struct FileStamp {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = 0;
  long long modifiedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> fileStamp(const std::string& path);

// The stamps of several files, in order.
using FileStamps = std::vector<std::optional<FileStamp>>;
FileStamps fileStamps(const std::vector<std::string>& paths);

}  // namespace kst
