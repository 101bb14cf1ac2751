#pragma once

#include <string>
#include <vector>

#include "panel/store/Entries.h"
#include "panel/store/PanelStore.h"
#include "platform/applist/ApplicationCatalogue.h"

namespace kst::panel {

// The store side of the main application list and of the "Add App"
// chooser: which applications are listed, and the rules-file changes of
// adding and deleting one. No notification is posted by any of these.
class AppListModel {
 public:
  AppListModel(const PanelStore& store, const applist::ApplicationCatalogue& catalogue)
      : store_(store), catalogue_(catalogue) {}

  // First display: a rules file that cannot be read is created as {"150": true}.
  void ensureRulesFile() const;
  // The main list, sorted: the applications of the rules file the catalogue
  // knows (or the special ones); keys of applications no longer installed
  // are removed from the file, unless the catalogue knows nothing at all.
  std::vector<AppEntry> loadApps() const;
  // The chooser's list, sorted: installed applications not yet in the file,
  // never SpringBoard or the excluded ones; the special ones while
  // "com.apple.gamed" is not in the file.
  std::vector<AppEntry> chooserApps() const;
  // Removes the application's key from the rules file (no "150" added).
  bool deleteApp(const std::string& bundleIdentifier) const;
  // Stores a fresh entry (empty "allow" and "deny", empty "allowEverything").
  bool addBundleIdentifier(const std::string& bundleIdentifier) const {
    return addFreshEntry(store_, bundleIdentifier);
  }
  // The same for any writer of the store (the command line too).
  static bool addFreshEntry(const PanelStore& store, const std::string& bundleIdentifier);

  // The entries whose display name contains `text`, ignoring case, in order.
  static std::vector<AppEntry> filter(const std::vector<AppEntry>& apps, const std::string& text);
  static bool isDisabled(const PanelStore& store) { return store.disabledMarkerExists(); }

 private:
  const PanelStore& store_;
  const applist::ApplicationCatalogue& catalogue_;
};

}  // namespace kst::panel
