#pragma once

#include <QWidget>
#include <memory>
#include <vector>

#include "panel/store/Entries.h"
#include "panel/ui/IconLoader.h"
#include "panel/ui/KstCells.h"
#include "platform/uikit/SearchField.h"
#include "platform/uikit/TableView.h"

namespace kst::panel {

// The application table of the main list and of the chooser: a search
// field over a table of application cells whose icons load lazily, the
// search results shown in place of the list while there is a search text.
class AppTable : public QObject {
  Q_OBJECT

 public:
  AppTable(applist::ALApplicationList& apps, bool disclosure, QWidget* parent);

  uikit::SearchField* searchBar() const { return searchBar_; }
  uikit::TableView* table() const { return table_; }

  void setApps(std::vector<AppEntry> apps);
  const std::vector<AppEntry>& appsArray() const { return appsArray_; }
  const std::vector<AppEntry>& filteredApps() const { return filteredApps_; }
  bool isSearching() const { return isSearching_; }
  // The entry shown in a row (of the results while searching).
  const AppEntry* entryAt(int row) const;
  // Takes the entry out of both lists.
  void removeApp(const std::string& bundleIdentifier);
  IconLoader& icons() { return *icons_; }

 signals:
  void searchingChanged(bool searching);

 private:
  void filterContentForSearchText(const QString& text);
  void iconLoadedFromNotification(const QString& bundleIdentifier);

  applist::ALApplicationList& apps_;
  QImage defaultImage_;
  std::unique_ptr<IconLoader> icons_;
  uikit::SearchField* searchBar_;
  uikit::TableView* table_;
  AppsTableModel* model_;
  std::vector<AppEntry> appsArray_;
  std::vector<AppEntry> filteredApps_;
  bool isSearching_ = false;
};

}  // namespace kst::panel
