#include "platform/plist/PlistFile.h"

#include <syslog.h>

#include <chrono>
#include <ctime>

#include "platform/plist/BinaryPlist.h"

namespace kst::plist {

namespace {

constexpr std::string_view kDamagedSuffix = ".damaged-";
// Names tried for one second's copies before giving up.
constexpr int kMaxDamagedNames = 100;

std::string utcStamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

}  // namespace

CheckedDictionaryFile readDictionaryFileChecked(FileSystem& fs, const std::string& path) {
  CheckedDictionaryFile file;
  std::optional<std::string> bytes = fs.readFile(path);
  if (!bytes) {
    file.state =
        fs.exists(path) ? CheckedDictionaryFile::State::kUnreadable : CheckedDictionaryFile::State::kMissing;
    return file;
  }
  std::optional<Value> root = decode(*bytes);
  if (root && root->asDictionary() != nullptr) {
    file.state = CheckedDictionaryFile::State::kRead;
    file.dict = std::move(*root->asDictionary());
    return file;
  }
  file.state = CheckedDictionaryFile::State::kDamaged;
  file.bytes = std::move(*bytes);
  return file;
}

std::optional<std::string> keepDamagedFile(FileSystem& fs, const std::string& path, std::string_view bytes) {
  const std::string base = path + std::string(kDamagedSuffix) + utcStamp();
  for (int i = 0; i < kMaxDamagedNames; ++i) {
    const std::string name = i == 0 ? base : base + "-" + std::to_string(i);
    if (fs.exists(name)) continue;
    if (!fs.writeFileAtomic(name, bytes, false)) break;
    ::syslog(LOG_WARNING, "Kestrix: %s could not be read; its %zu bytes are kept as %s before it is replaced",
             path.c_str(), bytes.size(), name.c_str());
    return name;
  }
  ::syslog(LOG_WARNING, "Kestrix: %s could not be read nor kept; it is not replaced", path.c_str());
  return std::nullopt;
}

bool makeWayForWrite(FileSystem& fs, const std::string& path) {
  std::optional<std::string> bytes = fs.readFile(path);
  if (!bytes) {
    if (!fs.exists(path)) return true;
    ::syslog(LOG_WARNING, "Kestrix: %s cannot be opened; it is not replaced", path.c_str());
    return false;
  }
  // Only checked, not read: the writer replaces it whole.
  const auto readable = [&bytes] {
    if (bytes->substr(0, kBinaryMagic.size()) == kBinaryMagic)
      return binaryRootType(*bytes) == Value::Type::kDictionary;
    const std::optional<Value> root = decode(*bytes);
    return root && root->asDictionary() != nullptr;
  };
  return readable() || keepDamagedFile(fs, path, *bytes).has_value();
}

std::optional<Dictionary> readDictionaryFile(FileSystem& fs, const std::string& path) {
  std::optional<std::string> bytes = fs.readFile(path);
  if (!bytes) return std::nullopt;
  std::optional<Value> root = decode(*bytes);
  if (!root) return std::nullopt;
  Dictionary* dict = root->asDictionary();
  if (dict == nullptr) return std::nullopt;
  return std::move(*dict);
}

bool writeDictionaryFile(FileSystem& fs, const std::string& path, const Dictionary& dict,
                         bool createParents) {
  std::string bytes;
  if (!writeBinary(dict, bytes)) return false;
  return fs.writeFileAtomic(path, bytes, createParents);
}

}  // namespace kst::plist
