#include "panel/ui/IconLoader.h"

#include <algorithm>

namespace kst::panel {

IconLoader::~IconLoader() {
  stopping_ = true;
  if (worker_.joinable()) worker_.join();
}

QImage IconLoader::iconFor(const QString& bundleIdentifier, const QImage& placeholder) {
  const QImage cached = list_.cachedIconOfSize(kIconSize, bundleIdentifier);
  if (!cached.isNull()) return cached;
  if (!asked_.contains(bundleIdentifier)) {
    asked_.insert(bundleIdentifier);
    request(bundleIdentifier);
  }
  return placeholder;
}

void IconLoader::request(const QString& bundleIdentifier) {
  std::unique_lock lock(spinLock_);
  // A row shown again moves its request to the front.
  iconsToLoad_.erase(std::remove(iconsToLoad_.begin(), iconsToLoad_.end(), bundleIdentifier),
                     iconsToLoad_.end());
  iconsToLoad_.push_front(bundleIdentifier);
  if (hasQueue_) return;
  hasQueue_ = true;
  lock.unlock();
  // The previous worker has given up the queue and is ending.
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this] { loadIconsFromBackground(); });
}

bool IconLoader::workerRunning() const {
  std::lock_guard lock(spinLock_);
  return hasQueue_;
}

void IconLoader::loadIconsFromBackground() {
  for (;;) {
    QString next;
    {
      std::lock_guard lock(spinLock_);
      if (iconsToLoad_.empty() || stopping_) {
        iconsToLoad_.clear();
        hasQueue_ = false;
        return;
      }
      next = iconsToLoad_.front();
      iconsToLoad_.pop_front();
    }
    // Fills the cache; the catalogue announces the icon on the main thread.
    // An icon that cannot load keeps the placeholder and is not asked again
    // until its row is shown again.
    list_.iconOfSize(kIconSize, next);
  }
}

}  // namespace kst::panel
