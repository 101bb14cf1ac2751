#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kst {

// A freedesktop desktop entry (the "[Desktop Entry]" group of a .desktop
// file), as the launcher and the menu overrides need it. Localised keys
// ("Name[de]") are kept apart from the plain ones; values are unescaped
// (\s \n \t \r \\) when read through string().
class DesktopFile {
 public:
  // The group's keys, or nullopt when the text has no "[Desktop Entry]"
  // group. Lines that are neither comments, groups nor "key=value" are
  // passed over, as desktop environments do.
  static std::optional<DesktopFile> parse(std::string_view text);
  static std::optional<DesktopFile> read(const std::string& path);

  // The raw value as written in the file, or nullopt.
  std::optional<std::string> raw(std::string_view key) const;
  // The value with the string escapes resolved.
  std::optional<std::string> string(std::string_view key) const;
  bool boolean(std::string_view key) const;  // "true" only

  const std::string& path() const { return path_; }

 private:
  std::map<std::string, std::string, std::less<>> keys_;
  std::string path_;
};

// The folders searched for applications, most important first:
// $XDG_DATA_HOME/applications (default ~/.local/share/applications), then
// each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share) + /applications.
std::vector<std::string> desktopApplicationFolders();

// The file a desktop file id names in `folder`: "a-b-c.desktop" may be
// folder/a-b-c.desktop, folder/a/b-c.desktop, folder/a/b/c.desktop ...
std::optional<std::string> desktopFileInFolder(const std::string& folder, std::string_view id);

// The key a "Run under Kestrix" menu entry carries: the path of the file it
// was made from. A lookup that meets such an entry goes on to that file.
inline constexpr const char* kKestrixOriginalKey = "X-Kestrix-Original";

// Finds the application a desktop file id names, the way a desktop's menu
// does (first folder wins), except that a menu entry of ours is followed to
// the file it was made from, so launching through it never loops.
std::optional<DesktopFile> findDesktopApplication(std::string_view id, std::string* error);

// Whether `text` looks like a desktop file id (ends with ".desktop", no '/').
bool isDesktopFileId(std::string_view text);

// The command line of an Exec value: quoting resolved and field codes
// expanded. `arguments` are the files or URLs the program is opened with
// (%f %u take the first, %F %U all of them; without any they vanish).
// Returns nullopt with a reason for an empty command, an unterminated
// quote or an unknown field code.
std::optional<std::vector<std::string>> expandExec(const DesktopFile& entry, std::string_view exec,
                                                   const std::vector<std::string>& arguments,
                                                   std::string* error);

// A desktop-entry value quoted as one Exec argument.
std::string quoteExecArgument(std::string_view argument);

}  // namespace kst
