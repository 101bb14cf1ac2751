#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "hook/store/RuleUsageFile.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"

namespace kst::panel {

// The settings application's access to the files it edits: the two rule
// files, its own flags file, the disabled marker, the log, and the posting
// of the notifications the hooked processes observe. Every screen model
// reads and writes through one of these; nothing here keeps file content
// between calls (each change re-reads the file it changes). Main thread only.
class PanelStore {
 public:
  using Poster = std::function<void(std::string_view name)>;
  using Clock = std::function<plist::Date()>;

  // `post` delivers a Darwin notification; `now` is the time rule entries get.
  PanelStore(FileSystem& fs, DeviceRoot root, Poster post, Clock now);
  // The real disk under the process's device root, the process's centre and
  // the system clock.
  static PanelStore& process();

  FileSystem& fs() const { return fs_; }
  const DeviceRoot& root() const { return root_; }
  std::string path(std::string_view devicePath) const { return root_.path(devicePath); }
  plist::Date now() const { return now_(); }
  void post(std::string_view name) const { post_(name); }

  // Absent when missing, unreadable or not a dictionary.
  std::optional<plist::Dictionary> readRules() const;
  std::optional<plist::Dictionary> readGlobal() const;
  std::optional<plist::Dictionary> readFlags() const;
  // Whole-file atomic writes. The rule writers add "150" when it is missing
  // unless told not to (the one writer that does not: deleting an app).
  bool writeRules(plist::Dictionary dict, bool ensureMarker = true) const;
  bool writeGlobal(plist::Dictionary dict, bool ensureMarker = true) const;
  bool writeFlags(const plist::Dictionary& dict) const;
  bool flagsFileExists() const;
  // The shell's rule counts; none when the file is missing, damaged or of
  // a newer version (the shell keeps such a file aside; readers leave it).
  RuleUsageTable readRuleUsage() const;

  bool disabledMarkerExists() const;
  // Creates the empty marker (present) or removes it; a missing file is no error.
  bool setDisabledMarker(bool present) const;

  // The connection log as text, absent when missing or not UTF-16 text.
  std::optional<std::string> readLog() const;
  bool logExists() const;
  bool removeLog() const;

  static void ensureMarker(plist::Dictionary& dict);
  // A file that could not be read is kept under its name and this suffix
  // when a writer replaces it.
  static constexpr std::string_view kDamagedSuffix = ".damaged";

 private:
  std::optional<plist::Dictionary> read(std::string_view devicePath) const;
  bool write(std::string_view devicePath, const plist::Dictionary& dict) const;

  FileSystem& fs_;
  DeviceRoot root_;
  Poster post_;
  Clock now_;
};

}  // namespace kst::panel
