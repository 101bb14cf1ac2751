#include "platform/springboard/ControlServer.h"

#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <charconv>

#include "platform/springboard/ControlProtocol.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/PromptInspector.h"
#include "platform/springboard/SpringBoardApi.h"
#include "platform/springboard/StandInClasses.h"

namespace kst::springboard {

namespace {

plist::Dictionary reply(bool ok, const std::string& output) {
  plist::Dictionary d;
  d.set(kOkKey, ok);
  d.set(kOutputKey, output);
  return d;
}

std::optional<int> parseInt(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

std::string describeDevice() {
  const DeviceState& d = DeviceState::shared();
  std::string out =
      "device: locked=" + std::to_string(d.locked() ? 1 : 0) + " dim=" + std::to_string(d.dim() ? 1 : 0) +
      " orientation=" + std::to_string(d.orientation()) +
      " idleTimerDisabled=" + std::to_string(d.idleTimerDisabled() ? 1 : 0) + " model=" + d.model() + "\n";
  if (!d.soundsPlayed().empty()) {
    out += "sounds:";
    for (int s : d.soundsPlayed()) out += " " + std::to_string(s);
    out += "\n";
  }
  if (const AlertItem* visible = d.visibleAlert()) out += "alert: " + visible->text + "\n";
  for (const AlertItem* pending : d.pendingAlerts()) out += "pending alert: " + pending->text + "\n";
  for (const std::string& answer : d.answers()) out += "answer: " + answer + "\n";
  return out;
}

ControlServer::ControlServer(DeviceRoot root, std::function<QWidget*()> screen)
    : root_(std::move(root)), screen_(std::move(screen)) {}

bool ControlServer::start() {
  center_ = std::make_shared<MessagingCenter>(kControlService, root_);
  for (const char* command :
       {kStateCommand, kTapCommand, kSelectCommand, kLockCommand, kUnlockCommand, kDimCommand, kWakeCommand,
        kOrientationCommand, kAlertCommand, kScreenshotCommand, kLocateCommand})
    center_->registerForMessageName(command, [this](const std::string& name, const plist::Dictionary* info) {
      return std::optional<plist::Dictionary>(handle(name, info));
    });
  return center_->runServerOnCurrentThread();
}

plist::Dictionary ControlServer::handle(const std::string& command, const plist::Dictionary* userInfo) {
  const std::string* argumentText = userInfo != nullptr ? userInfo->string(kArgumentKey) : nullptr;
  const std::string argument = argumentText != nullptr ? *argumentText : std::string();
  DeviceState& device = DeviceState::shared();
  QString error;

  if (command == kStateCommand) {
    const QStringList prompt = PromptInspector::describe();
    return reply(true, prompt.join('\n').toStdString() + "\n" + describeDevice());
  }
  if (command == kTapCommand) {
    if (!PromptInspector::tap(QString::fromStdString(argument), &error))
      return reply(false, error.toStdString());
    return reply(true, "");
  }
  if (command == kLocateCommand) {
    QPoint at;
    if (!PromptInspector::locate(QString::fromStdString(argument), &at, &error))
      return reply(false, error.toStdString());
    return reply(true, std::to_string(at.x()) + " " + std::to_string(at.y()));
  }
  if (command == kSelectCommand) {
    const auto space = argument.rfind(' ');
    const auto index = space == std::string::npos ? std::nullopt : parseInt(argument.substr(space + 1));
    if (!index) return reply(false, "usage: select CONTROL INDEX");
    if (!PromptInspector::select(QString::fromStdString(argument.substr(0, space)), *index, &error))
      return reply(false, error.toStdString());
    return reply(true, "");
  }
  if (command == kLockCommand) {
    device.setLocked(true);
    device.setDim(true);
    return reply(true, "");
  }
  if (command == kUnlockCommand) {
    device.setLocked(false);
    device.setDim(false);
    return reply(true, "");
  }
  if (command == kDimCommand) {
    device.setDim(true);
    return reply(true, "");
  }
  if (command == kWakeCommand) {
    device.setDim(false);
    return reply(true, "");
  }
  if (command == kOrientationCommand) {
    const auto value = parseInt(argument);
    if (!value || !device.setOrientation(*value)) return reply(false, "orientation must be 0 to 6");
    return reply(true, "");
  }
  if (command == kAlertCommand) {
    if (argument.empty()) return reply(false, "usage: alert TEXT");
    if (argument.size() > kMaxAlertText)
      return reply(false, "an alert is at most " + std::to_string(kMaxAlertText) + " bytes");
    AlertItem* item = device.makeAlertItem(argument);
    if (item == nullptr)
      return reply(false,
                   "the shell has made " + std::to_string(kMaxAlertItems) + " alerts, the most it keeps");
    // Through the method table, so that the hook library's deferral runs.
    const RuntimeApi& api = RuntimeApi::process();
    if (api.available())
      send<void>(sb::kAlertItemsController, sb::kActivateAlertItemAnimated, static_cast<KstId>(item), true);
    else
      device.activateAlert(item);
    return reply(true, "");
  }
  if (command == kScreenshotCommand) {
    if (argument.empty()) return reply(false, "usage: screenshot FILE");
    QWidget* shown = PromptInspector::promptWindow();
    if (shown == nullptr && screen_) shown = screen_();
    if (shown == nullptr) return reply(false, "nothing on screen");
    if (!shown->grab().toImage().save(QString::fromStdString(argument), "PNG"))
      return reply(false, "cannot write " + argument);
    return reply(true, "");
  }
  return reply(false, "unknown command " + command);
}

}  // namespace kst::springboard
