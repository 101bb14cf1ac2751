#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist/PlistValue.h"

namespace kst::plist {

// Dates of the XML form, which libplist 2.2 keeps in 32-bit seconds since
// 2001 (1932 to 2069, fractions dropped). Its parser and writer still do the
// rest of the document; the dates go around them: every <date> element is
// swapped for a stand-in whose value is the date's index in a table, and
// swapped back afterwards. The text form is ISO 8601 in UTC,
// "YYYY-MM-DDTHH:MM:SSZ" as every reader knows it; a date with a fraction
// of a second writes it (".5Z", as few digits as read back exactly), and
// years past 9999 or before 1 take more digits or a sign.

// The text of a date, and a date from its text (a missing time of day, or
// a missing "Z", as other readers allow); nothing for text that is no date.
std::string formatXmlDate(Date when);
std::optional<Date> parseXmlDate(std::string_view text);

// A date text that cannot be read stands for the Unix epoch, as it did
// when libplist read it.
inline constexpr Date kUnreadableXmlDate{-978307200.0};

// The document with each <date> element's text replaced by the stand-in
// for its index, and the dates in `dates`, in document order. Comments and
// CDATA sections are left alone.
std::string takeXmlDates(std::string_view xml, std::vector<Date>& dates);
// The stand-in of index `i` as libplist reads it: whole seconds since 2001.
inline std::int32_t xmlDateIndexSeconds(std::size_t i) {
  return static_cast<std::int32_t>(i);
}
// The document libplist wrote with stand-ins, each replaced by the text of
// the date it stands for; nothing when a stand-in names no date.
std::optional<std::string> putXmlDates(std::string_view xml, const std::vector<Date>& dates);

}  // namespace kst::plist
