#include "platform/fs/FileStamp.h"

#include <sys/stat.h>

namespace kst {

std::optional<FileStamp> fileStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileStamp s;
  s.device = static_cast<unsigned long long>(st.st_dev);
  s.inode = static_cast<unsigned long long>(st.st_ino);
  s.size = static_cast<long long>(st.st_size);
  s.modifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return s;
}

FileStamps fileStamps(const std::vector<std::string>& paths) {
  FileStamps out;
  out.reserve(paths.size());
  for (const std::string& p : paths) out.push_back(fileStamp(p));
  return out;
}

}  // namespace kst
