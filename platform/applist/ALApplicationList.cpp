#include "platform/applist/ALApplicationList.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QMetaObject>
#include <QStringList>

namespace kst::applist {

namespace {

// Theme icons without a running desktop: the hicolor theme and pixmaps.
QString findThemeIconFile(const QString& name) {
  if (name.contains(QLatin1Char('/'))) return QString();
  static const QStringList sizes = {"48x48", "64x64", "32x32", "128x128", "256x256", "scalable"};
  static const QStringList bases = {"/usr/share/icons/hicolor/", "/usr/local/share/icons/hicolor/"};
  for (const QString& base : bases) {
    for (const QString& size : sizes) {
      for (const char* ext : {".png", ".svg"}) {
        const QString file = base + size + "/apps/" + name + QLatin1String(ext);
        if (QFileInfo::exists(file)) return file;
      }
    }
  }
  for (const char* ext : {".png", ".svg", ".xpm"}) {
    const QString file = "/usr/share/pixmaps/" + name + QLatin1String(ext);
    if (QFileInfo::exists(file)) return file;
  }
  return QString();
}

QImage readScaled(const QString& file, int size) {
  QImageReader reader(file);
  if (!reader.canRead()) return QImage();
  // Refuse absurd images before decoding them.
  const QSize full = reader.size();
  if (full.isValid() && (full.width() > 4096 || full.height() > 4096)) return QImage();
  if (full.isValid()) reader.setScaledSize(full.scaled(size, size, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull()) return image;
  if (image.width() > size || image.height() > size) {
    image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  return image;
}

}  // namespace

ALApplicationList::ALApplicationList(std::shared_ptr<ApplicationCatalogue> catalogue, QObject* parent)
    : QObject(parent), catalogue_(std::move(catalogue)) {}

ALApplicationList& ALApplicationList::sharedApplicationList() {
  static ALApplicationList* list = new ALApplicationList(std::make_shared<ApplicationCatalogue>(
      DeviceRoot::process(), ApplicationCatalogue::defaultDesktopDataDirs()));
  return *list;
}

bool ALApplicationList::hasCachedIconOfSize(int size, const QString& bundleIdentifier) const {
  std::lock_guard lock(mu_);
  return cache_.contains(key(size, bundleIdentifier));
}

QImage ALApplicationList::cachedIconOfSize(int size, const QString& bundleIdentifier) const {
  std::lock_guard lock(mu_);
  return cache_.value(key(size, bundleIdentifier));
}

int ALApplicationList::loadCount() const {
  std::lock_guard lock(mu_);
  return loads_;
}

QImage ALApplicationList::iconOfSize(int size, const QString& bundleIdentifier) {
  if (QImage cached = cachedIconOfSize(size, bundleIdentifier); !cached.isNull()) return cached;
  const auto app = catalogue_->application(bundleIdentifier.toStdString());
  if (!app || app->icon.empty() || size <= 0) return QImage();
  QString file = QString::fromStdString(app->icon);
  QImage image;
  // Files only: pixmaps (and themed icons) belong to the main thread, and
  // icons load on workers.
  if (app->iconIsThemeName) file = findThemeIconFile(file);
  if (file.startsWith(QLatin1Char('/'))) image = readScaled(file, size);
  if (image.isNull()) return image;
  {
    std::lock_guard lock(mu_);
    cache_.insert(key(size, bundleIdentifier), image);
    ++loads_;
  }
  // Announced on the main thread, whichever thread loaded it.
  QMetaObject::invokeMethod(
      this, [this, bundleIdentifier] { emit iconLoaded(bundleIdentifier); }, Qt::QueuedConnection);
  return image;
}

}  // namespace kst::applist
