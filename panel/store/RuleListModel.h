#pragma once

#include <optional>
#include <string>
#include <vector>

#include "panel/store/Entries.h"
#include "panel/store/PanelStore.h"

namespace kst::panel {

// The store side of a rule list screen: "globalAllow"/"globalDeny" of the
// global rules file, or "allow"/"deny" of one application's entry in the
// rules file. Holds the list as shown (`rulesArray`, duplicates dropped) and
// stores it whole over its key after every change. Posts nothing.
class RuleListModel {
 public:
  // A global list (no bundle identifier) or an application's list.
  RuleListModel(const PanelStore& store, bool isDeny,
                std::optional<std::string> bundleIdentifier = std::nullopt);

  bool isGlobal() const { return !bundleID_; }
  bool isDeny() const { return isDeny_; }
  const std::vector<RuleEntry>& rules() const { return rulesArray_; }
  bool sortByDate() const { return sort_ == RuleSort::kDate; }
  RuleSort sort() const { return sort_; }

  // Re-reads the list from the file, drops later duplicates (exact rule
  // text), takes each rule's use from the shell's counts and sorts.
  void reload();
  // Changes the order; the list is re-sorted.
  void setSortByDate(bool byDate);
  void setSort(RuleSort sort);
  // Adds `text` lower-cased with the current time (and, with `expires`, an
  // expiry); the empty text adds nothing. Returns the new entry's index in
  // the sorted list.
  std::optional<std::size_t> add(const std::string& text, std::optional<plist::Date> expires = std::nullopt);

  // The "Keep for" choices of the add and edit alerts.
  enum class KeepFor { kUnchanged, kAlways, kOneHour, kOneDay, kOneWeek };
  // The expiry a choice gives a rule stored now; none for "always".
  std::optional<plist::Date> expiryFor(KeepFor keep) const;
  // The edit alert's change of the entry at `index`: a new text replaces
  // the rule as retyping does (dated now, its counts gone with the old
  // text); the same text keeps the entry and its date. `keep` sets or
  // removes the expiry (kUnchanged keeps it). Empty text changes nothing.
  // Stays in place until the next sort, as a retyped rule does.
  bool edit(std::size_t index, const std::string& text, KeepFor keep);
  // Removes the entry at `index` of rules().
  bool removeAt(std::size_t index);
  // Retypes the entry at `index` in place (lower-cased, dated now); it is
  // not re-sorted until the next sort or reload.
  bool retype(std::size_t index, const std::string& text);
  // Global lists: empties the list in the file.
  void deleteAll();
  // Several rules at once, for the command line: reloads, adds each text
  // (lower-cased, dated now) that is not in the list yet, and stores the
  // list once. The number added, or none when the file could not be
  // written.
  // With `expires`, the new rules stop deciding at that date.
  std::optional<std::size_t> addRules(const std::vector<std::string>& texts,
                                      std::optional<plist::Date> expires = std::nullopt);
  // Reloads and removes every entry whose rule is one of `texts` (compared
  // lower-cased); the number removed, or none when the write failed.
  std::optional<std::size_t> removeRules(const std::vector<std::string>& texts);

  // The indexes of rules() whose rule contains `text`, ignoring case.
  std::vector<std::size_t> filter(const std::string& text) const;

  // The global screen's help alert: the message to show, or none.
  enum class Help { kNone, kWithAllowed, kWithoutAllowed };
  Help helpAlert() const;
  // "Hide Alert": "showAllowHelp" false in the flags file.
  void hideHelp() const;
  // Edit mode's first entry: true once, when "didShowEditAlert" is not true;
  // records that it was shown.
  bool takeEditAlert() const;

 private:
  std::string key() const;
  // Writes the list whole over its key; false when the file was not written.
  bool store() const;

  const PanelStore& store_;
  const bool isDeny_;
  const std::optional<std::string> bundleID_;
  std::vector<RuleEntry> rulesArray_;
  RuleSort sort_ = RuleSort::kName;
};

}  // namespace kst::panel
