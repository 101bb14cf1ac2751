#include "panel/ui/AppTable.h"

#include "panel/store/AppListModel.h"
#include "panel/store/KstAppList.h"
#include "panel/ui/PanelStyle.h"

namespace kst::panel {

AppTable::AppTable(applist::ALApplicationList& apps, bool disclosure, QWidget* parent)
    : QObject(parent),
      apps_(apps),
      icons_(std::make_unique<IconLoader>(apps)),
      searchBar_(new uikit::SearchField(parent)),
      table_(new uikit::TableView(parent)) {
  // The placeholder: the catalogue's icon of the web sheet, else our own.
  defaultImage_ = apps_.iconOfSize(
      IconLoader::kIconSize,
      QString::fromUtf8(kPlaceholderIconBundleIdentifier.data(), kPlaceholderIconBundleIdentifier.size()));
  if (defaultImage_.isNull()) defaultImage_ = placeholderIcon();
  model_ = new AppsTableModel(
      [this](const AppEntry& app) {
        return icons_->iconFor(QString::fromStdString(app.bundleIdentifier), defaultImage_);
      },
      disclosure, this);
  table_->setModel(model_);
  table_->setItemDelegate(new KstAppCellDelegate(table_));
  table_->setAccessibleName("Applications");
  connect(searchBar_, &QLineEdit::textChanged, this, &AppTable::filterContentForSearchText);
  connect(&apps_, &applist::ALApplicationList::iconLoaded, this, &AppTable::iconLoadedFromNotification);
}

void AppTable::setApps(std::vector<AppEntry> apps) {
  appsArray_ = std::move(apps);
  if (isSearching_) {
    filterContentForSearchText(searchBar_->text());
  } else {
    model_->setApps(appsArray_);
  }
}

const AppEntry* AppTable::entryAt(int row) const {
  const auto& list = isSearching_ ? filteredApps_ : appsArray_;
  if (row < 0 || static_cast<std::size_t>(row) >= list.size()) return nullptr;
  return &list[static_cast<std::size_t>(row)];
}

void AppTable::removeApp(const std::string& bundleIdentifier) {
  const auto drop = [&](std::vector<AppEntry>& list) {
    std::erase_if(list, [&](const AppEntry& a) { return a.bundleIdentifier == bundleIdentifier; });
  };
  drop(appsArray_);
  drop(filteredApps_);
  model_->setApps(isSearching_ ? filteredApps_ : appsArray_);
}

void AppTable::filterContentForSearchText(const QString& text) {
  const bool searching = !text.isEmpty();
  if (searching) {
    filteredApps_ = AppListModel::filter(appsArray_, text.toStdString());
    model_->setApps(filteredApps_);
  } else {
    filteredApps_.clear();
    model_->setApps(appsArray_);
  }
  if (searching != isSearching_) {
    isSearching_ = searching;
    emit searchingChanged(searching);
  }
}

void AppTable::iconLoadedFromNotification(const QString& bundleIdentifier) {
  // Only rows on screen are repainted; the model hands out the cached icon.
  model_->iconChanged(bundleIdentifier);
}

}  // namespace kst::panel
