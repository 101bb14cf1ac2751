#pragma once

#include <optional>
#include <string>

namespace kst::install {

// "Run under Kestrix" menu entries: a user-level copy of a desktop
// application's .desktop file, in $XDG_DATA_HOME/applications, whose Exec
// lines go through kestrix-launch. The desktop's menu, dock and file
// associations prefer the user's folder, so they start the application
// under the firewall; removing the copy restores the original.
//
// A user-level file of the same id that is not ours is kept as
// "<id>.kestrix-saved" (not a .desktop file, so no menu shows it) and put
// back on removal.

struct MenuEntryPlan {
  std::string path;  // the user-level file to write
  std::string text;  // its contents
};

// The override for `id`. `launcher` is kestrix-launch's absolute path;
// `root` is put on the command line when set. Nullopt, with a reason, when
// the id names no application, the file has no Exec, or is one of ours.
std::optional<MenuEntryPlan> planMenuEntry(const std::string& id, const std::string& launcher,
                                           const std::optional<std::string>& root, std::string* error);

// Writes the override (keeping a user's own file first). False, with a
// reason, on failure; nothing is half-written.
bool addMenuEntry(const std::string& id, const std::string& launcher, const std::optional<std::string>& root,
                  std::string* written, std::string* error);

// Removes our override of `id` and puts a saved user file back. False, with
// a reason, when there is no override of ours to remove.
bool removeMenuEntry(const std::string& id, std::string* error);

}  // namespace kst::install
