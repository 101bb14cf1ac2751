#pragma once

#include <optional>
#include <string>

#include "hook/store/KstSettingsManager.h"
#include "platform/fs/FileChanges.h"

namespace kst {

// The files a judged call depends on besides the rules: the marker that
// switches the firewall off, the device's and the system's hosts files and
// the resolver configuration. Looking at them on every call cost a stat
// each; instead the library watches them (on its main queue, from the
// process's first judged call, and again in a forked child from its own
// first one) and the calls read what the watch published. Until the watch
// runs, and for any file it cannot watch, the readers look at the file.
//
// The watch is woken by the change itself, but reads it a moment later (when
// its thread is scheduled). So that a call sees every change made before it
// started, it begins with beginCall(), which asks the kernel whether the
// watch has read everything queued (one ioctl, the only system call of a
// decided call); when it has not, that call looks at the files itself.
// The ioctl goes to the watch's number, which the library's close-family
// replacements withdraw before the program closes or replaces it.
class WatchedFiles {
 public:
  // The process's, on DeviceRoot::process(); never destroyed.
  static WatchedFiles& process();

  // Starts the watch when it does not run in this process. One atomic load
  // once started. Any thread, never a signal handler.
  void start();
  // At the start of each judged call, on its thread: whether what the
  // watch published holds for this call. Until the next beginCall() on
  // this thread, the FileChanges read as unwatched when it does not.
  void beginCall() noexcept;
  // The program is about to close or replace the numbers first..last.
  // Async-signal-safe; nothing when the watch never started.
  static void programTakes(int first, int last) noexcept;

  const FileChanges& marker() const { return marker_; }
  const FileChanges& deviceHosts() const { return deviceHosts_; }
  // Null when the device's hosts file is the system's.
  const FileChanges* systemHosts() const { return systemHostsPath_.empty() ? nullptr : &systemHosts_; }
  const FileChanges& resolvConf() const { return resolvConf_; }

  const std::string& markerPath() const { return markerPath_; }
  const std::string& deviceHostsPath() const { return deviceHostsPath_; }
  const std::string& systemHostsPath() const { return systemHostsPath_; }

 private:
  WatchedFiles();
  void startOnQueue();
  static void forgetInChild();

  const std::string markerPath_;
  const std::string deviceHostsPath_;
  const std::string systemHostsPath_;  // empty: the same file as the device's
  const std::string resolvConfPath_;
  WatchQueue queue_;
  FileChanges marker_;
  FileChanges deviceHosts_;
  FileChanges systemHosts_;
  FileChanges resolvConf_;
  std::atomic<bool> started_{false};
};

// Whether the firewall's off-marker is there for `m`: as the watch last saw
// it when it watches the marker `m` looks at, else one stat.
bool disabledMarkerPresent(const KstSettingsManager& m);

}  // namespace kst
