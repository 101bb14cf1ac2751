#include "platform/bundle/DesktopFile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace kst {

namespace {

constexpr std::string_view kGroup = "[Desktop Entry]";
constexpr std::string_view kSuffix = ".desktop";
// A desktop file is a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaxFileSize = 1 << 20;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:  // not a string escape: kept for the Exec quoting rules
        out += '\\';
        out += value[i];
    }
  }
  return out;
}

bool isFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

// Splits an Exec value (string escapes already resolved) into words, each
// remembering whether it was quoted; field codes stay in place.
struct Word {
  std::string text;
  bool quoted = false;
};

std::optional<std::vector<Word>> splitExec(std::string_view exec, std::string* error) {
  std::vector<Word> words;
  std::size_t i = 0;
  while (i < exec.size()) {
    if (exec[i] == ' ' || exec[i] == '\t') {
      ++i;
      continue;
    }
    Word word;
    while (i < exec.size() && exec[i] != ' ' && exec[i] != '\t') {
      if (exec[i] != '"') {
        word.text += exec[i++];
        continue;
      }
      word.quoted = true;
      ++i;
      bool closed = false;
      while (i < exec.size()) {
        const char c = exec[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < exec.size()) {
          word.text += exec[i++];
        } else {
          word.text += c;
        }
      }
      if (!closed) {
        *error = "unterminated quote in Exec";
        return std::nullopt;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

std::optional<DesktopFile> DesktopFile::parse(std::string_view text) {
  DesktopFile file;
  bool inGroup = false;
  bool sawGroup = false;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == kGroup;
      // Only the first such group counts; a repeated one is passed over.
      if (inGroup && sawGroup) inGroup = false;
      sawGroup = sawGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key(trim(line.substr(0, eq)));
    if (key.empty()) continue;
    file.keys_.emplace(key, std::string(trim(line.substr(eq + 1))));  // the first one wins
  }
  if (!sawGroup) return std::nullopt;
  return file;
}

std::optional<DesktopFile> DesktopFile::read(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxFileSize) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  std::optional<DesktopFile> file = parse(text.str());
  if (file) file->path_ = path;
  return file;
}

std::optional<std::string> DesktopFile::raw(std::string_view key) const {
  auto it = keys_.find(key);
  if (it == keys_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> DesktopFile::string(std::string_view key) const {
  std::optional<std::string> value = raw(key);
  if (!value) return std::nullopt;
  return unescape(*value);
}

bool DesktopFile::boolean(std::string_view key) const {
  return raw(key) == "true";
}

std::vector<std::string> desktopApplicationFolders() {
  const char* home = std::getenv("HOME");
  std::vector<std::string> folders;
  const std::string dataHome =
      envOr("XDG_DATA_HOME", home != nullptr ? std::string(home) + "/.local/share" : std::string());
  if (!dataHome.empty()) folders.push_back(dataHome + "/applications");
  const std::string dataDirs = envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
  std::string_view dirs = dataDirs;
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    if (!dir.empty()) folders.push_back(std::string(dir) + "/applications");
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
  }
  return folders;
}

std::optional<std::string> desktopFileInFolder(const std::string& folder, std::string_view id) {
  // Each '-' may stand for a sub-folder; try the plain name first, then
  // each way of reading leading dashes as folders.
  std::string candidate = folder + "/" + std::string(id);
  if (isFile(candidate)) return candidate;
  std::string rest(id);
  std::string prefix = folder;
  for (std::size_t dash = rest.find('-'); dash != std::string::npos; dash = rest.find('-')) {
    prefix += "/" + rest.substr(0, dash);
    rest = rest.substr(dash + 1);
    candidate = prefix + "/" + rest;
    if (isFile(candidate)) return candidate;
  }
  return std::nullopt;
}

bool isDesktopFileId(std::string_view text) {
  return text.size() > kSuffix.size() && text.ends_with(kSuffix) && text.find('/') == std::string_view::npos;
}

std::optional<DesktopFile> findDesktopApplication(std::string_view id, std::string* error) {
  if (!isDesktopFileId(id)) {
    *error = "not a desktop file id: " + std::string(id);
    return std::nullopt;
  }
  for (const std::string& folder : desktopApplicationFolders()) {
    const std::optional<std::string> path = desktopFileInFolder(folder, id);
    if (!path) continue;
    std::optional<DesktopFile> entry = DesktopFile::read(*path);
    if (!entry) {
      *error = *path + " is not a desktop file";
      return std::nullopt;
    }
    if (const std::optional<std::string> original = entry->string(kKestrixOriginalKey)) {
      // One of our menu entries: what it runs is the file it was made from.
      if (!original->empty() && *original != *path) {
        std::optional<DesktopFile> made = DesktopFile::read(*original);
        if (made && !made->raw(kKestrixOriginalKey)) return made;
      }
      continue;
    }
    if (entry->boolean("Hidden")) {
      *error = "the desktop file " + *path + " is hidden (deleted by its user)";
      return std::nullopt;
    }
    return entry;
  }
  *error = "no desktop file " + std::string(id) + " in the applications folders";
  return std::nullopt;
}

std::optional<std::vector<std::string>> expandExec(const DesktopFile& entry, std::string_view exec,
                                                   const std::vector<std::string>& arguments,
                                                   std::string* error) {
  const std::optional<std::vector<Word>> words = splitExec(exec, error);
  if (!words) return std::nullopt;
  std::vector<std::string> argv;
  for (const Word& word : *words) {
    const std::string& t = word.text;
    // A field code that is a whole word can stand for several arguments.
    if (!word.quoted && t.size() == 2 && t[0] == '%') {
      switch (t[1]) {
        case 'F':
        case 'U':
          argv.insert(argv.end(), arguments.begin(), arguments.end());
          continue;
        case 'f':
        case 'u':
          if (!arguments.empty()) argv.push_back(arguments.front());
          continue;
        case 'i':
          if (auto icon = entry.string("Icon"); icon && !icon->empty()) {
            argv.push_back("--icon");
            argv.push_back(*icon);
          }
          continue;
        case 'd':
        case 'D':
        case 'n':
        case 'N':
        case 'v':
        case 'm':  // deprecated: dropped
          continue;
        default:
          break;
      }
    }
    std::string out;
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (t[i] != '%') {
        out += t[i];
        continue;
      }
      if (i + 1 == t.size()) {
        *error = "a lone % at the end of an Exec word";
        return std::nullopt;
      }
      switch (const char code = t[++i]) {
        case '%':
          out += '%';
          break;
        case 'f':
        case 'u':
        case 'F':
        case 'U':
          if (!arguments.empty()) out += arguments.front();
          break;
        case 'c':
          out += entry.string("Name").value_or("");
          break;
        case 'k':
          out += entry.path();
          break;
        case 'i':
          out += entry.string("Icon").value_or("");
          break;
        case 'd':
        case 'D':
        case 'n':
        case 'N':
        case 'v':
        case 'm':
          break;
        default:
          *error = std::string("unknown field code %") + code + " in Exec";
          return std::nullopt;
      }
    }
    argv.push_back(std::move(out));
  }
  if (argv.empty() || argv.front().empty()) {
    *error = "the Exec line names no program";
    return std::nullopt;
  }
  return argv;
}

std::string quoteExecArgument(std::string_view argument) {
  std::string out = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') {
      out += "%%";
      continue;
    }
    out += c;
  }
  out += '"';
  // The file's string escapes apply before the quoting: double each
  // backslash so it survives them.
  std::string escaped;
  for (const char c : out) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '\n')
      escaped += "\\n";
    else if (c == '\t')
      escaped += "\\t";
    else if (c == '\r')
      escaped += "\\r";
    else
      escaped += c;
  }
  return escaped;
}

}  // namespace kst
