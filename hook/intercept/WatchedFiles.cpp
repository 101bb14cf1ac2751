#include "hook/intercept/WatchedFiles.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FolderWatch.h"
#include "platform/resolver/ResolvConf.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

namespace {

constexpr std::string_view kDeviceHostsPath = "/etc/hosts";
constexpr const char* kSystemHostsPath = "/etc/hosts";
// How often the watch makes sure its descriptor is still its own and tries
// again the files it could not watch. A program that closed or replaced the
// descriptor has it renewed within this time.
constexpr Seconds kCheckPeriod{1.0};

// Read from the close-family replacements, in any thread or signal handler.
std::atomic<WatchedFiles*> gProcess{nullptr};

// Whether this thread's current call found the watch caught up.
thread_local bool tWatchCaughtUp = false;

bool watchCaughtUpForThisCall() noexcept {
  return tWatchCaughtUp;
}

// The watches of this process, the current one last; the earlier ones
// (from a parent, before a fork) are kept unused, reachable, never freed:
// a thread may have been inside one when the process forked.
struct Watches {
  std::vector<FolderWatch*> all;
  RunLoop::SourceId source = 0;
  RunLoop::TimerId timer = 0;
};

// Made without a function-local static: the main queue makes it while the
// program may fork, and a child would wait forever on a static's guard that
// the parent's thread held at that moment.
std::atomic<Watches*> gWatches{nullptr};

Watches& watches() {
  Watches* current = gWatches.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto* fresh = new Watches;
  if (gWatches.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *current;
}

}  // namespace

WatchedFiles::WatchedFiles()
    : markerPath_(DeviceRoot::process().path(files::kDisabledMarkerPath)),
      deviceHostsPath_(DeviceRoot::process().path(kDeviceHostsPath)),
      systemHostsPath_(deviceHostsPath_ == kSystemHostsPath ? std::string() : std::string(kSystemHostsPath)),
      resolvConfPath_(ResolvConfFile::process().path()),
      marker_(&watchCaughtUpForThisCall),
      deviceHosts_(&watchCaughtUpForThisCall),
      systemHosts_(&watchCaughtUpForThisCall),
      resolvConf_(&watchCaughtUpForThisCall) {
  ResolvConfFile::process().followChanges(&resolvConf_);
}

WatchedFiles& WatchedFiles::process() {
  static WatchedFiles* const files = [] {
    auto* made = new WatchedFiles();
    gProcess.store(made, std::memory_order_release);
    ::pthread_atfork(nullptr, nullptr, &WatchedFiles::forgetInChild);
    return made;
  }();
  return *files;
}

void WatchedFiles::forgetInChild() {
  // The watch is the parent's, and so is the thread that kept these
  // current: looked at directly until the child's own watch runs.
  WatchedFiles* w = gProcess.load(std::memory_order_acquire);
  if (w == nullptr) return;
  w->queue_.forget();
  for (FileChanges* f : {&w->marker_, &w->deviceHosts_, &w->systemHosts_, &w->resolvConf_}) f->forget();
  w->started_.store(false, std::memory_order_release);
}

void WatchedFiles::start() {
  if (started_.load(std::memory_order_acquire)) return;
  if (started_.exchange(true, std::memory_order_acq_rel)) return;
  mainQueue().perform([this] { startOnQueue(); });
}

void WatchedFiles::beginCall() noexcept {
  tWatchCaughtUp = queue_.caughtUp();
}

void WatchedFiles::programTakes(int first, int last) noexcept {
  if (WatchedFiles* w = gProcess.load(std::memory_order_acquire)) w->queue_.programTakes(first, last);
}

namespace {

// Polls the watch's current descriptor, in place of the one before. On the
// main queue.
void listenTo(FolderWatch* watch) {
  Watches& w = watches();
  RunLoop& queue = mainQueue();
  if (w.source != 0) queue.removeFdSource(w.source);
  w.source = 0;
  if (watch->fd() < 0) return;
  w.source = queue.addFdSource(watch->fd(), [watch] {
    watch->onReadable();
    // Its descriptor turned out to be the program's: polled no more, and
    // a new one made at once rather than at the next check.
    if (watch->fd() >= 0) return;
    watch->check();
    listenTo(watch);
  });
}

}  // namespace

void WatchedFiles::startOnQueue() {
  Watches& w = watches();
  // Ids of a parent's loop mean nothing on this one.
  w.source = 0;
  w.timer = 0;
  // A parent's watch (inherited over a fork) is left as it is: its
  // descriptor is shared with the parent, which reads it.
  std::vector<std::string> paths{markerPath_, deviceHostsPath_, resolvConfPath_};
  std::vector<FileChanges*> out{&marker_, &deviceHosts_, &resolvConf_};
  if (!systemHostsPath_.empty()) {
    paths.push_back(systemHostsPath_);
    out.push_back(&systemHosts_);
  }
  auto* watch = new FolderWatch(std::move(paths), std::move(out), &queue_);
  w.all.push_back(watch);
  // Without inotify (or over its limits) every file is looked at directly,
  // and the checks try again.
  watch->open();
  listenTo(watch);
  w.timer = mainQueue().addTimer(
      kCheckPeriod,
      [watch] {
        if (watch->check()) listenTo(watch);
      },
      kCheckPeriod);
}

bool disabledMarkerPresent(const KstSettingsManager& m) {
  const WatchedFiles& w = WatchedFiles::process();
  const FileChanges& marker = w.marker();
  if (marker.generation() != FileChanges::kUnwatched && m.env().fs == &FileSystem::real() &&
      m.disabledMarkerPath() == w.markerPath())
    return marker.present();
  return m.disabledMarkerExists();
}

}  // namespace kst
