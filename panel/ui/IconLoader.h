#pragma once

#include <QImage>
#include <QSet>
#include <QString>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/applist/ALApplicationList.h"

namespace kst::panel {

// The lazy icon loading of one list screen: rows that show the placeholder
// queue their identifier, newest first; one background worker loads the
// icons one at a time into the catalogue's cache (which then announces each
// on the main thread) and ends when the queue is empty, so the next request
// starts a new worker. request() and the destructor are for the main thread.
class IconLoader {
 public:
  static constexpr int kIconSize = 29;

  explicit IconLoader(applist::ALApplicationList& list) : list_(list) {}
  IconLoader(const IconLoader&) = delete;
  IconLoader& operator=(const IconLoader&) = delete;
  // Stops the worker after its current icon and waits for it.
  ~IconLoader();

  // The icon of a row: the cached one, or the placeholder while it loads.
  QImage iconFor(const QString& bundleIdentifier, const QImage& placeholder);
  void request(const QString& bundleIdentifier);
  bool workerRunning() const;

 private:
  void loadIconsFromBackground();

  applist::ALApplicationList& list_;
  QSet<QString> asked_;  // main thread: an icon is asked for once per screen
  mutable std::mutex spinLock_;
  std::deque<QString> iconsToLoad_;  // GUARDED_BY(spinLock_)
  bool hasQueue_ = false;            // GUARDED_BY(spinLock_): a worker owns the queue
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace kst::panel
