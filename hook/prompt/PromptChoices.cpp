#include "hook/prompt/PromptChoices.h"

#include <algorithm>
#include <cctype>

namespace kst::prompt {

namespace {

constexpr int kAllowCodes[kButtonCount] = {msg::allowOnce,   msg::allowSession, msg::allowAllSession,
                                           msg::alwaysAllow, msg::allowAll,     msg::globalAllow};
constexpr int kDenyCodes[kButtonCount] = {msg::denyOnce,   msg::denySession, msg::denyAllSession,
                                          msg::alwaysDeny, msg::denyAll,     msg::globalDeny};

constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kPreStart = "<pre>";
constexpr std::string_view kPreEnd = "</pre>";
constexpr std::string_view kNameStart = "<td align=\"left\" valign=\"middle\"><span class=\"standard\">";
constexpr std::string_view kNameEnd = "</pre>\t </span></td>";
constexpr std::string_view kNameEndHook7 = "</span></td>";

std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    out.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return out;
    start = at + 1;
  }
}

bool isHostNameChar(unsigned char c) {
  return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_';
}

// A name of letters, digits, '-', '_' and dots, or an address (digits,
// hex, dots, colons, and a zone after '%').
bool validQuery(std::string_view q) {
  if (q.empty() || q.size() > 253 + 40) return false;
  if (q.find(':') != std::string_view::npos)
    return std::all_of(q.begin(), q.end(), [](unsigned char c) {
      return std::isxdigit(c) != 0 || c == ':' || c == '.' || c == '%' || std::isalnum(c) != 0;
    });
  return std::all_of(q.begin(), q.end(), [](unsigned char c) { return isHostNameChar(c); });
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

std::optional<int> answerCode(int mode, int tag) {
  if (tag < 0 || tag >= kButtonCount) return std::nullopt;
  return mode == 1 ? kDenyCodes[tag] : kAllowCodes[tag];
}

bool isIP(const std::optional<std::string>& host) {
  if (!host) return true;
  return host->find_first_of(kLetters) == std::string::npos || host->find(':') != std::string::npos;
}

std::optional<std::vector<std::string>> hostPartsArray(const std::optional<std::string>& host) {
  if (isIP(host)) return std::nullopt;
  std::vector<std::string> parts = split(*host, '.');
  if (parts.size() <= 2) return std::nullopt;
  std::string last = parts[parts.size() - 2] + "." + parts.back();
  parts.pop_back();
  parts.back() = std::move(last);
  return parts;
}

std::string assembleHost(const std::vector<std::string>& parts, const std::vector<bool>& indices) {
  std::string out;
  const std::size_t n = std::min(parts.size(), indices.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!indices[i]) continue;
    out += parts[i];
    if (i + 1 != n) out += '.';
  }
  return out;
}

std::string questionLine(const std::optional<std::string>& displayName,
                         const std::optional<std::string>& port) {
  return displayName.value_or("") + " tries to contact" + " (port " + port.value_or("") + "):";
}

std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return out;
}

Rgb accentFor(double red, double green, double blue) {
  const double brightness = (red * 299 + green * 587 + blue * 114) / 1000;
  return brightness < 0.36 ? kAccentLight : kAccentBlue;
}

std::optional<std::string> whoIsQuery(const std::optional<std::string>& host) {
  if (!host) return std::nullopt;
  if (host->find_first_of("abcdefghijklmnopqrstuvwxyz:") == std::string::npos ||
      host->find(':') != std::string::npos)
    return *host;
  const std::vector<std::string> parts = split(*host, '.');
  if (parts.size() < 2) return *host;
  return parts[parts.size() - 2] + "." + parts.back();
}

std::optional<std::string> whoIsUrl(std::string_view whoIsHost, std::string_view query) {
  if (!validQuery(query)) return std::nullopt;
  return "http://" + std::string(whoIsHost) + "/whois/" + percentEncode(query);
}

std::string whoIsText(std::string_view page, bool ip, bool hook7) {
  if (page.empty()) return kWhoIsFailed;
  if (ip) {
    const std::size_t start = page.find(kPreStart);
    if (start == std::string_view::npos) return kWhoIsFailed;
    const std::string_view rest = page.substr(start + kPreStart.size());
    return std::string(rest.substr(0, rest.find(kPreEnd)));
  }
  const std::size_t start = page.rfind(kNameStart);
  const std::string_view piece =
      start == std::string_view::npos ? page : page.substr(start + kNameStart.size());
  return std::string(piece.substr(0, piece.find(hook7 ? kNameEndHook7 : kNameEnd)));
}

}  // namespace kst::prompt
