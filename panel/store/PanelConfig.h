#pragma once

#include <string_view>

namespace kst::panel::config {

// Where the documentation and support live. The page is installed inside
// the application's bundle, so the documentation works without a network;
// the support address is the one the page's mail link uses.
inline constexpr std::string_view kBundlePath = "/Applications/KestrixPanel.app";
inline constexpr std::string_view kDocumentationPath =
    "/Applications/KestrixPanel.app/Documentation/firewall.html";
inline constexpr std::string_view kSupportAddress = "support@kestrix.invalid";
// The mail query the support link opens with (percent-encoded).
inline constexpr std::string_view kSupportMailQuery =
    "?subject=Kestrix%20Help&body=Please%20include%20the%20following%20information%20in%20your%20eMail:%3Cbr%"
    "3E"
    "iPhone%20firmware%20version:%20%3Cbr%3EiPhone%20model:%20%3Cbr%3EApp%20which%20caused%20a%20Problem:%"
    "3Cbr%3E"
    "Also,%20please%20read%20the%20Troubleshooting%20section%20before%20emailing%20me.%20It%20has%"
    "20solutions%20"
    "for%20the%20most%20common%20problems!";

}  // namespace kst::panel::config
