// The application's side of the connection log: the settings manager builds
// the line and sends it to SpringBoard, which alone writes the log file
// (MessagingSBS, "logMessage").

#include "hook/store/KstLog.h"

#include <cstdio>

#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/messaging/MessagingCenter.h"

namespace kst {

// How an unset text reads in a line, as in the manager's description.
constexpr std::string_view kUnsetText = "(null)";

std::string kstLogLine(const std::tm& localTime, std::string_view appName, std::string_view what,
                       std::string_view host, std::string_view port) {
  char stamp[96];
  // Printed field by field: strftime would pad a year below 1000 in no
  // documented way, and the log reader expects four digits.
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", localTime.tm_year + 1900,
                localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
                localTime.tm_sec);
  std::string line;
  line.reserve(64 + appName.size() + what.size() + host.size() + port.size());
  line.append(stamp).append(" - ").append(appName).append(": connection ").append(what);
  line.append(" to ").append(host).append(" via port: ").append(port).append("\n");
  return line;
}

void KstSettingsManager::logThisApp(const std::string& /*app*/, const std::string& host,
                                    const std::string& port, const std::string& what) {
  // The time stamp is the decision's, not the moment SpringBoard writes.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  const std::shared_ptr<const std::string> name = appName();
  const plist::Dictionary info{
      {std::string(msg::kLogStringKey), kstLogLine(local, name ? *name : kUnsetText, what, host, port)}};
  auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), env().root);
  center->sendMessage(std::string(msg::kLogMessage), &info);
}

}  // namespace kst

extern "C" void logNotification(const char* app, const char* host, const char* port, const char* what) {
  try {
    kst::KstSettingsManager* manager = kst::settingsManagerKst();
    if (manager == nullptr) return;
    auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string(kst::kUnsetText); };
    manager->logThisApp(text(app), text(host), text(port), text(what));
  } catch (...) {
    // Nothing may cross the C boundary; the line is lost.
  }
}
