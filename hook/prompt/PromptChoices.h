#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hook/rules/KstMessageNames.h"

// The prompt's logic without its widgets: the answer table, the host parts
// and the host text of the answer, the question line, the accent colour and
// the WhoIs query, request and extraction.
namespace kst::prompt {

// Answer buttons by tag, in tag order.
inline constexpr int kButtonCount = 6;
inline constexpr const char* kButtonTitles[kButtonCount] = {"Once",   "Session",         "All Session",
                                                            "Always", "All Connections", "Always & Global"};

// The code of button `tag` in `mode` (0 allow, 1 deny); nothing for a tag
// outside 0..5.
std::optional<int> answerCode(int mode, int tag);

// The host is treated as an address: absent, without any of the lower-case
// letters a-z, or containing ':'.
bool isIP(const std::optional<std::string>& host);
// The parts offered for selection: nothing for an address or a name of two
// labels or fewer; otherwise the labels, the last two joined as one.
std::optional<std::vector<std::string>> hostPartsArray(const std::optional<std::string>& host);
// The answer's host text from the parts and their selection: each selected
// part followed by ".", the last without.
std::string assembleHost(const std::vector<std::string>& parts, const std::vector<bool>& indices);

// "<displayName> tries to contact (port <port>):"; absent texts are left out.
std::string questionLine(const std::optional<std::string>& displayName,
                         const std::optional<std::string>& port);

// Text fit for one line on screen: control characters become spaces.
std::string printable(std::string_view text);

// The accent for a backdrop colour: light blue over dark, blue otherwise.
struct Rgb {
  double r, g, b;
};
inline constexpr Rgb kAccentBlue{0.0, 0.3569, 0.9373};
inline constexpr Rgb kAccentLight{0.5176, 0.6980, 0.9882};
Rgb accentFor(double red, double green, double blue);

// WhoIs: the query for a host (the address itself, or the registered
// domain: the last two labels); nothing for an absent host.
std::optional<std::string> whoIsQuery(const std::optional<std::string>& host);
// "http://<whoIsHost>/whois/<query, percent-encoded>"; nothing when the
// query is neither a host name nor an address.
std::optional<std::string> whoIsUrl(std::string_view whoIsHost, std::string_view query);
// The text shown for a page: the <pre> part for an address; for a name the
// part between the last start marker and the end marker. `hook7` selects
// the iOS 7/8 library's shorter end marker.
std::string whoIsText(std::string_view page, bool isIP, bool hook7);

inline constexpr const char* kWhoIsFailed = "WhoIs failed :(";
inline constexpr const char* kWhoIsWait = "please wait..";

}  // namespace kst::prompt
