#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/fs/DeviceRoot.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

class QWidget;

namespace kst::springboard {

// The shell's automation socket (ControlProtocol.h): each command changes
// the device or the prompt on screen as a person would, and answers with
// the text springboard-ctl prints. Serves on the main thread's loop; a
// client that sends garbage is disconnected by the service framing and the
// shell goes on.
class ControlServer {
 public:
  // `screen` gives the widget a screenshot shows when no prompt is up.
  ControlServer(DeviceRoot root, std::function<QWidget*()> screen);
  // Starts serving on RunLoop::current(). False when the socket cannot be made.
  bool start();

  // One command; the reply dictionary {"ok", "output"}.
  plist::Dictionary handle(const std::string& command, const plist::Dictionary* userInfo);

 private:
  DeviceRoot root_;
  std::function<QWidget*()> screen_;
  std::shared_ptr<MessagingCenter> center_;
};

// The device lines of "state": lock and screen, orientation, alerts, answers.
std::string describeDevice();

}  // namespace kst::springboard
