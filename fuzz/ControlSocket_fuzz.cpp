// Feeds the shell's control socket: the input is the body of one frame as
// the socket delivers it, decoded as a request and handed to the control
// server, whatever the command and its argument. The shell has no prompt on
// screen and no screen to grab, so no command writes a file.
#include <QApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/messaging/Frame.h"
#include "platform/springboard/ControlProtocol.h"
#include "platform/springboard/ControlServer.h"
#include "platform/springboard/DeviceState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kst;
  static int argc = 1;
  static char name[] = "kestrix_fuzz_control_socket";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  (void)app;
  static springboard::ControlServer server(DeviceRoot("/nonexistent-device"), [] { return nullptr; });

  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto request = messaging::decodeRequest(body);
  if (!request) return 0;
  const plist::Dictionary reply =
      server.handle(request->name, request->userInfo ? &*request->userInfo : nullptr);
  // Every command answers whether it worked and what to print.
  if (reply.find(springboard::kOkKey) == nullptr || reply.string(springboard::kOutputKey) == nullptr)
    std::abort();
  return 0;
}
