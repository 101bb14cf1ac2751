#include "platform/plist/XmlDates.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace kst::plist {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// 2001-01-01 00:00:00 UTC in Unix time.
constexpr std::int64_t kReferenceUnix = 978307200;
// Seconds beyond this (about 290 billion years) are no date anyone keeps;
// they are written as the nearest that fits.
constexpr double kLimit = 9.0e18;
// Digits of a fraction tried for an exact read-back.
constexpr int kMaxFractionDigits = 20;
constexpr int kMaxYearDigits = 12;

constexpr std::string_view kOpen = "<date>";
constexpr std::string_view kClose = "</date>";

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

void appendPadded(std::string& out, std::int64_t v, int width) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  for (int pad = width - static_cast<int>(end - buf); pad > 0; --pad) out.push_back('0');
  out.append(buf, end);
}

// Reads exactly `width` digits at `at`.
bool digits(std::string_view s, std::size_t& at, std::size_t width, int& out) {
  if (s.size() - at < width) return false;
  out = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = s[at + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  at += width;
  return true;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::string formatXmlDate(Date when) {
  double s = when.secondsSinceReference;
  if (std::isnan(s)) s = 0;
  s = std::fmax(-kLimit, std::fmin(kLimit, s));
  const double wholeSeconds = std::floor(s);
  const double fraction = s - wholeSeconds;  // exact
  const auto whole = static_cast<std::int64_t>(wholeSeconds) + kReferenceUnix;
  const std::int64_t days = floorDiv(whole, kSecondsPerDay);
  const std::int64_t ofDay = whole - days * kSecondsPerDay;
  std::int64_t y = 0;
  int m = 0;
  int d = 0;
  civilFromDays(days, y, m, d);

  std::string out;
  if (y < 0) out.push_back('-');
  appendPadded(out, y < 0 ? -y : y, 4);
  out.push_back('-');
  appendPadded(out, m, 2);
  out.push_back('-');
  appendPadded(out, d, 2);
  out.push_back('T');
  appendPadded(out, ofDay / 3600, 2);
  out.push_back(':');
  appendPadded(out, ofDay / 60 % 60, 2);
  out.push_back(':');
  appendPadded(out, ofDay % 60, 2);
  if (fraction > 0) {
    // As few digits as read back to the same date.
    char buf[kMaxFractionDigits + 8];
    std::string_view best;
    for (int precision = 1; precision <= kMaxFractionDigits; ++precision) {
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, fraction, std::chars_format::fixed, precision);
      if (ec != std::errc() || buf[0] != '0') continue;  // rounded up to 1
      best = std::string_view(buf + 1, static_cast<std::size_t>(end - buf - 1));
      double back = 0;
      std::from_chars(buf, end, back);
      if (wholeSeconds + back == s) break;
    }
    out.append(best);
  }
  out.push_back('Z');
  return out;
}

std::optional<Date> parseXmlDate(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++at;
  std::int64_t year = 0;
  std::size_t yearDigits = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && yearDigits < kMaxYearDigits) {
    year = year * 10 + (text[at] - '0');
    ++at;
    ++yearDigits;
  }
  if (yearDigits < 4) return std::nullopt;
  if (negative) year = -year;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  double fraction = 0;
  if (at >= text.size() || text[at++] != '-' || !digits(text, at, 2, month) || at >= text.size() ||
      text[at++] != '-' || !digits(text, at, 2, day))
    return std::nullopt;
  if (at < text.size() && text[at] == 'T') {
    ++at;
    if (!digits(text, at, 2, hour) || at >= text.size() || text[at++] != ':' || !digits(text, at, 2, minute))
      return std::nullopt;
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!digits(text, at, 2, second)) return std::nullopt;
      if (at < text.size() && text[at] == '.') {
        const std::size_t from = at;
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == from + 1) return std::nullopt;
        // "0.ddd", read without the locale.
        std::string decimal = "0" + std::string(text.substr(from, at - from));
        std::from_chars(decimal.data(), decimal.data() + decimal.size(), fraction);
      }
    }
  }
  if (at < text.size() && text[at] == 'Z') ++at;
  if (at != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60)
    return std::nullopt;
  const std::int64_t unix =
      daysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return Date{static_cast<double>(unix - kReferenceUnix) + fraction};
}

namespace {

// The document with the text of every <date> element replaced by what
// `replace` makes of it (nothing: give up). Comments, CDATA sections and
// processing instructions are copied as they are.
template <typename Replace>
std::optional<std::string> rewriteDates(std::string_view xml, Replace replace) {
  std::string out;
  out.reserve(xml.size());
  std::size_t at = 0;
  const auto copyThrough = [&](std::size_t from, std::string_view end) {
    const std::size_t stop = xml.find(end, from);
    const std::size_t to = stop == std::string_view::npos ? xml.size() : stop + end.size();
    out.append(xml.substr(at, to - at));
    at = to;
  };
  while (at < xml.size()) {
    const std::size_t lt = xml.find('<', at);
    if (lt == std::string_view::npos) {
      out.append(xml.substr(at));
      break;
    }
    out.append(xml.substr(at, lt - at));
    at = lt;
    const std::string_view rest = xml.substr(lt);
    if (rest.starts_with("<!--")) {
      copyThrough(lt + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      copyThrough(lt + 9, "]]>");
    } else if (rest.starts_with("<?")) {
      copyThrough(lt + 2, "?>");
    } else if (rest.starts_with(kOpen)) {
      const std::size_t textAt = lt + kOpen.size();
      const std::size_t close = xml.find(kClose, textAt);
      if (close == std::string_view::npos) {
        out.append(rest);  // not well formed: the parser refuses it
        break;
      }
      std::optional<std::string> text = replace(xml.substr(textAt, close - textAt));
      if (!text) return std::nullopt;
      out.append(kOpen);
      out.append(*text);
      out.append(kClose);
      at = close + kClose.size();
    } else {
      out.push_back('<');
      ++at;
    }
  }
  return out;
}

}  // namespace

std::string takeXmlDates(std::string_view xml, std::vector<Date>& dates) {
  return *rewriteDates(xml, [&dates](std::string_view text) -> std::optional<std::string> {
    dates.push_back(parseXmlDate(text).value_or(kUnreadableXmlDate));
    return formatXmlDate(Date{static_cast<double>(xmlDateIndexSeconds(dates.size() - 1))});
  });
}

std::optional<std::string> putXmlDates(std::string_view xml, const std::vector<Date>& dates) {
  return rewriteDates(xml, [&dates](std::string_view text) -> std::optional<std::string> {
    const std::optional<Date> standIn = parseXmlDate(text);
    if (!standIn) return std::nullopt;
    const double index = standIn->secondsSinceReference;
    if (index < 0 || index >= static_cast<double>(dates.size()) || index != std::floor(index))
      return std::nullopt;
    return formatXmlDate(dates[static_cast<std::size_t>(index)]);
  });
}

}  // namespace kst::plist
