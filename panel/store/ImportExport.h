#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "panel/store/PanelStore.h"

namespace kst::panel {

// Export and import of all rules and settings as one settings file in
// "/var/mobile/Library/Preferences/Kst/", and the import of plain host
// lists from the application's "Lists/" folder into a global list. Posts
// nothing.
class ImportExport {
 public:
  explicit ImportExport(const PanelStore& store) : store_(store) {}

  static constexpr std::string_view kSettingsFolder = "/var/mobile/Library/Preferences/Kst/";
  static constexpr std::string_view kListsFolder = "/Applications/KestrixPanel.app/Lists/";
  static constexpr std::string_view kAppRulesKey = "appRules";
  static constexpr std::string_view kGlobalRulesKey = "globalRules";
  static constexpr std::string_view kSettingsKey = "settings";

  // "KstSettings-yyyy-MM-dd_HH-mm-ss.plist" of a local time.
  static std::string settingsFileName(std::time_t when);
  // Writes the settings file of the three files that could be read; the
  // file name, or none when nothing was read or the write failed.
  std::optional<std::string> exportAll(std::time_t when) const;
  // The settings file's content: "appRules", "globalRules" and "settings"
  // of the files that could be read; none when none could.
  std::optional<plist::Dictionary> exportDictionary() const;
  // Reads a settings file at any path; none when it is not a dictionary
  // holding at least one of the three keys as a dictionary.
  std::optional<plist::Dictionary> readSettingsFile(const std::string& path) const;
  // Writes each of the three parts of `settings` that is a dictionary as its
  // whole file; how many files were written.
  int importDictionary(const plist::Dictionary& settings) const;
  // The names in the settings folder, or in the host-list folder (empty
  // when the folder cannot be listed).
  std::vector<std::string> settingsFiles() const;
  std::vector<std::string> hostLists() const;
  // Writes each of "appRules", "globalRules", "settings" that is a
  // dictionary as the whole rules, global rules and flags file. Returns how
  // many files were written.
  int importSettings(const std::string& name) const;
  bool deleteSettingsFile(const std::string& name) const;
  // Appends every line of the host list (blanks removed) to "globalDeny" or
  // "globalAllow"; returns how many rules were added. The global rules file
  // is written even when the list cannot be read.
  std::size_t importHostList(const std::string& name, bool isDeny) const;

  // The text of a host-list file in the encodings recognised by their
  // marks (UTF-8, UTF-16 in either order), or UTF-8 without a
  // mark; none for anything else (binary data, NUL characters).
  static std::optional<std::string> decodeText(std::string_view bytes);
  // The pieces of a host list: all spaces removed, split at each line feed.
  static std::vector<std::string> hostListPieces(std::string_view text);

 private:
  // A plain file name inside `folder` (no path separators, not "." or "..").
  std::optional<std::string> fileIn(std::string_view folder, const std::string& name) const;
  std::vector<std::string> list(std::string_view folder) const;

  const PanelStore& store_;
};

}  // namespace kst::panel
