#include "panel/store/ImportExport.h"

#include <algorithm>
#include <filesystem>

#include "hook/rules/KstFiles.h"
#include "platform/fs/Utf16File.h"
#include "platform/plist/PlistFile.h"
#include "platform/text/Utf8.h"

namespace kst::panel {

namespace {

// Host lists are small text files; anything larger is not one.
constexpr std::size_t kMaxHostListBytes = 16u << 20;

// Text: well-formed UTF-8 without NUL characters.
bool validUtf8(std::string_view s) {
  return s.find('\0') == std::string_view::npos && utf8::isValid(s);
}

}  // namespace

std::string ImportExport::settingsFileName(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
  return std::string("KstSettings-") + stamp + ".plist";
}

std::optional<plist::Dictionary> ImportExport::exportDictionary() const {
  plist::Dictionary root;
  if (auto rules = store_.readRules()) root.set(std::string(kAppRulesKey), std::move(*rules));
  if (auto global = store_.readGlobal()) root.set(std::string(kGlobalRulesKey), std::move(*global));
  if (auto flags = store_.readFlags()) root.set(std::string(kSettingsKey), std::move(*flags));
  if (root.empty()) return std::nullopt;
  return root;
}

std::optional<std::string> ImportExport::exportAll(std::time_t when) const {
  const std::optional<plist::Dictionary> root = exportDictionary();
  if (!root) return std::nullopt;
  const std::string name = settingsFileName(when);
  // The folder is the user's to make; a missing one gets nothing.
  if (!plist::writeDictionaryFile(store_.fs(), store_.path(std::string(kSettingsFolder) + name), *root,
                                  false)) {
    return std::nullopt;
  }
  return name;
}

std::vector<std::string> ImportExport::list(std::string_view folder) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(store_.path(folder), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code fec;
    if (it->is_directory(fec)) continue;
    names.push_back(it->path().filename().string());
  }
  return names;
}

std::vector<std::string> ImportExport::settingsFiles() const {
  return list(kSettingsFolder);
}
std::vector<std::string> ImportExport::hostLists() const {
  return list(kListsFolder);
}

std::optional<std::string> ImportExport::fileIn(std::string_view folder, const std::string& name) const {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return store_.path(std::string(folder) + name);
}

int ImportExport::importSettings(const std::string& name) const {
  const auto path = fileIn(kSettingsFolder, name);
  if (!path) return 0;
  const std::optional<plist::Dictionary> root = plist::readDictionaryFile(store_.fs(), *path);
  if (!root) return 0;
  return importDictionary(*root);
}

std::optional<plist::Dictionary> ImportExport::readSettingsFile(const std::string& path) const {
  std::optional<plist::Dictionary> root = plist::readDictionaryFile(store_.fs(), path);
  if (!root || (root->dictionary(kAppRulesKey) == nullptr && root->dictionary(kGlobalRulesKey) == nullptr &&
                root->dictionary(kSettingsKey) == nullptr)) {
    return std::nullopt;
  }
  return root;
}

int ImportExport::importDictionary(const plist::Dictionary& root) const {
  int written = 0;
  // Only a dictionary is a file's content; any other value changes nothing.
  if (const plist::Dictionary* rules = root.dictionary(kAppRulesKey)) {
    written += store_.writeRules(*rules) ? 1 : 0;
  }
  if (const plist::Dictionary* global = root.dictionary(kGlobalRulesKey)) {
    written += store_.writeGlobal(*global) ? 1 : 0;
  }
  if (const plist::Dictionary* flags = root.dictionary(kSettingsKey)) {
    written += store_.writeFlags(*flags) ? 1 : 0;
  }
  return written;
}

bool ImportExport::deleteSettingsFile(const std::string& name) const {
  const auto path = fileIn(kSettingsFolder, name);
  return path && store_.fs().removeFile(*path);
}

std::optional<std::string> ImportExport::decodeText(std::string_view bytes) {
  if (bytes.size() >= 2 &&
      ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF'))) {
    std::optional<std::string> text = utf16::decode(bytes);
    if (!text || text->find('\0') != std::string::npos) return std::nullopt;
    return text;
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (!validUtf8(bytes)) return std::nullopt;
  return std::string(bytes);
}

std::vector<std::string> ImportExport::hostListPieces(std::string_view text) {
  std::string compact;
  compact.reserve(text.size());
  for (char c : text) {
    if (c != ' ') compact.push_back(c);
  }
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t nl = compact.find('\n', start);
    if (nl == std::string::npos) {
      pieces.push_back(compact.substr(start));
      break;
    }
    pieces.push_back(compact.substr(start, nl - start));
    start = nl + 1;
  }
  return pieces;
}

std::size_t ImportExport::importHostList(const std::string& name, bool isDeny) const {
  std::vector<std::string> pieces;
  if (const auto path = fileIn(kListsFolder, name)) {
    const std::optional<std::string> bytes = store_.fs().readFile(*path);
    if (bytes && bytes->size() <= kMaxHostListBytes) {
      if (const auto text = decodeText(*bytes)) pieces = hostListPieces(*text);
    }
  }
  plist::Dictionary global = store_.readGlobal().value_or(plist::Dictionary{});
  const std::string key(isDeny ? files::kGlobalDenyKey : files::kGlobalAllowKey);
  const plist::Array* old = global.array(key);
  plist::Array list = old != nullptr ? *old : plist::Array{};
  for (std::string& piece : pieces) {
    list.emplace_back(plist::Dictionary{{std::string(files::kRuleKey), plist::Value(std::move(piece))},
                                        {std::string(files::kDateKey), plist::Value(store_.now())}});
  }
  global.set(key, std::move(list));
  store_.writeGlobal(std::move(global));
  return pieces.size();
}

}  // namespace kst::panel
