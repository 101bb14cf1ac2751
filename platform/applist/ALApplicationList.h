#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <memory>
#include <mutex>

#include "platform/applist/ApplicationCatalogue.h"

namespace kst::applist {

// The catalogue with its icons, as the settings application uses it: the
// name queries of ApplicationCatalogue, a test whether an icon of a size is
// cached, a synchronous load (any thread) that fills the cache, and the
// icon-loaded notification, delivered on the main (GUI) thread with the
// identifier. A missing or unreadable icon loads as a null image and is not
// announced. Lives on the main thread; the icon members may be called from
// any thread.
class ALApplicationList : public QObject {
  Q_OBJECT

 public:
  explicit ALApplicationList(std::shared_ptr<ApplicationCatalogue> catalogue, QObject* parent = nullptr);
  // The process's list over the process's root and XDG folders.
  static ALApplicationList& sharedApplicationList();

  ApplicationCatalogue& catalogue() const { return *catalogue_; }

  bool hasCachedIconOfSize(int size, const QString& bundleIdentifier) const;
  // The cached icon, or a null image.
  QImage cachedIconOfSize(int size, const QString& bundleIdentifier) const;
  // Loads (or takes from the cache) the icon scaled into size x size.
  QImage iconOfSize(int size, const QString& bundleIdentifier);
  // How many icons were loaded from disk (not from the cache).
  int loadCount() const;

 signals:
  void iconLoaded(const QString& bundleIdentifier);

 private:
  static QString key(int size, const QString& id) { return QString::number(size) + QLatin1Char('/') + id; }

  std::shared_ptr<ApplicationCatalogue> catalogue_;
  mutable std::mutex mu_;
  QHash<QString, QImage> cache_;  // GUARDED_BY(mu_)
  int loads_ = 0;                 // GUARDED_BY(mu_)
};

}  // namespace kst::applist
