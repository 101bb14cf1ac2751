#include "tools/install/MenuEntry.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/bundle/DesktopFile.h"
#include "platform/fs/FileSystem.h"

namespace kst::install {

namespace {

constexpr const char* kSavedSuffix = ".kestrix-saved";

std::string userFolder() {
  const std::vector<std::string> folders = desktopApplicationFolders();
  return folders.empty() ? std::string() : folders.front();
}

bool isOurs(const std::string& path) {
  const std::optional<DesktopFile> entry = DesktopFile::read(path);
  return entry && entry->raw(kKestrixOriginalKey).has_value();
}

std::optional<std::string> readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The original's lines with every Exec (of the entry and of its actions)
// sent through the launcher, D-Bus activation off (it would bypass Exec)
// and our marker added to the main group.
std::string rewrite(const std::string& original, const std::string& prefix, const std::string& originalPath) {
  std::istringstream in(original);
  std::string out;
  std::string line;
  bool inMain = false;
  bool marked = false;
  const auto mark = [&] {
    if (inMain && !marked) {
      out += std::string(kKestrixOriginalKey) + "=" + originalPath + "\n";
      out += "DBusActivatable=false\n";
      marked = true;
    }
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      mark();
      inMain = line == "[Desktop Entry]" && !marked;
      out += line + "\n";
      continue;
    }
    std::string_view key = line;
    key = key.substr(0, key.find('='));
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    if (key == "Exec") {
      const std::string value = line.substr(line.find('=') + 1);
      std::size_t start = value.find_first_not_of(' ');
      out += "Exec=" + prefix + " -- " + (start == std::string::npos ? std::string() : value.substr(start)) +
             "\n";
    } else if (key == "DBusActivatable" || key == kKestrixOriginalKey) {
      continue;
    } else {
      out += line + "\n";
    }
  }
  mark();
  return out;
}

}  // namespace

std::optional<MenuEntryPlan> planMenuEntry(const std::string& id, const std::string& launcher,
                                           const std::optional<std::string>& root, std::string* error) {
  const std::string folder = userFolder();
  if (folder.empty()) {
    *error = "no user applications folder (neither XDG_DATA_HOME nor HOME is set)";
    return std::nullopt;
  }
  // A user file of ours is replaced; a user file of theirs is what we wrap.
  const std::string userPath = folder + "/" + id;
  std::string sourcePath;
  std::error_code ec;
  if (std::filesystem::exists(userPath + kSavedSuffix, ec)) {
    sourcePath = userPath + kSavedSuffix;
  } else if (std::filesystem::exists(userPath, ec) && !isOurs(userPath)) {
    sourcePath = userPath;
  } else {
    const std::optional<DesktopFile> found = findDesktopApplication(id, error);
    if (!found) return std::nullopt;
    sourcePath = found->path();
  }
  const std::optional<DesktopFile> source = DesktopFile::read(sourcePath);
  if (!source) {
    *error = sourcePath + " is not a desktop file";
    return std::nullopt;
  }
  if (!source->string("Exec") || source->string("Exec")->empty()) {
    *error = "the desktop file " + sourcePath + " has no Exec line";
    return std::nullopt;
  }
  const std::optional<std::string> text = readText(sourcePath);
  if (!text) {
    *error = "cannot read " + sourcePath;
    return std::nullopt;
  }
  std::string prefix = quoteExecArgument(launcher) + " " + quoteExecArgument(id);
  if (root) prefix += " --root " + quoteExecArgument(*root);
  const std::string originalPath = sourcePath == userPath ? userPath + kSavedSuffix : sourcePath;
  return MenuEntryPlan{userPath, rewrite(*text, prefix, originalPath)};
}

bool addMenuEntry(const std::string& id, const std::string& launcher, const std::optional<std::string>& root,
                  std::string* written, std::string* error) {
  if (!isDesktopFileId(id)) {
    *error = "not a desktop file id: " + id;
    return false;
  }
  const std::optional<MenuEntryPlan> plan = planMenuEntry(id, launcher, root, error);
  if (!plan) return false;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(plan->path).parent_path(), ec);
  if (std::filesystem::exists(plan->path, ec) && !isOurs(plan->path)) {
    std::filesystem::rename(plan->path, plan->path + kSavedSuffix, ec);
    if (ec) {
      *error = "cannot keep " + plan->path + ": " + ec.message();
      return false;
    }
  }
  if (!FileSystem::real().writeFileAtomic(plan->path, plan->text, false)) {
    *error = "cannot write " + plan->path;
    return false;
  }
  *written = plan->path;
  return true;
}

bool removeMenuEntry(const std::string& id, std::string* error) {
  if (!isDesktopFileId(id)) {
    *error = "not a desktop file id: " + id;
    return false;
  }
  const std::string path = userFolder() + "/" + id;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) || !isOurs(path)) {
    *error = "no Kestrix menu entry " + path;
    return false;
  }
  if (std::filesystem::exists(path + kSavedSuffix, ec)) {
    std::filesystem::rename(path + kSavedSuffix, path, ec);
  } else {
    std::filesystem::remove(path, ec);
  }
  if (ec) {
    *error = "cannot restore " + path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace kst::install
