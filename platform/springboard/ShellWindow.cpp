#include "platform/springboard/ShellWindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/springboard/DeviceState.h"

namespace kst::springboard {

namespace {

constexpr const char* kTitle = "SpringBoard";
constexpr const char* kLockTitle = "Locked";
constexpr const char* kNoAlerts = "No alerts";
constexpr const char* kNoAnswers = "No answers yet";
constexpr const char* kDeviceHeading = "Device";
constexpr const char* kAlertsHeading = "Alerts";
constexpr const char* kAnswersHeading = "Last answers";

QLabel* makeLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setAccessibleName(name);
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

ShellWindow::ShellWindow(QWidget* parent) : QWidget(parent) {
  setObjectName("ShellWindow");
  setWindowTitle(kTitle);
  auto* layout = new QVBoxLayout(this);
  device_ = makeLabel("deviceState", this);
  lock_ = new QCheckBox(kLockTitle, this);
  lock_->setObjectName("lockToggle");
  lock_->setAccessibleName(kLockTitle);
  alerts_ = makeLabel("alerts", this);
  answers_ = makeLabel("answers", this);
  auto heading = [this](const char* text) {
    auto* label = new QLabel(text, this);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
  };
  layout->addWidget(heading(kDeviceHeading));
  layout->addWidget(device_);
  layout->addWidget(lock_);
  layout->addSpacing(8);
  layout->addWidget(heading(kAlertsHeading));
  layout->addWidget(alerts_);
  layout->addSpacing(8);
  layout->addWidget(heading(kAnswersHeading));
  layout->addWidget(answers_);
  layout->addStretch();
  connect(lock_, &QCheckBox::toggled, this, [](bool locked) {
    DeviceState& d = DeviceState::shared();
    if (locked == d.locked()) return;
    d.setLocked(locked);
    d.setDim(false);
  });
  resize(320, 360);
  refresh();
}

void ShellWindow::refresh() {
  const DeviceState& d = DeviceState::shared();
  device_->setText(QStringLiteral("%1, %2 × %3, orientation %4\nScreen %5")
                       .arg(QString::fromStdString(d.model()))
                       .arg(d.screenWidth())
                       .arg(d.screenHeight())
                       .arg(d.orientation())
                       .arg(d.dim() ? "dark" : "on"));
  lock_->setChecked(d.locked());
  QStringList alerts;
  if (const AlertItem* visible = d.visibleAlert())
    alerts << "Showing: " + QString::fromStdString(visible->text);
  for (const AlertItem* pending : d.pendingAlerts())
    alerts << "Pending: " + QString::fromStdString(pending->text);
  alerts_->setText(alerts.isEmpty() ? QString(kNoAlerts) : alerts.join('\n'));
  QStringList answers;
  for (const std::string& a : d.answers()) answers << QString::fromStdString(a);
  answers_->setText(answers.isEmpty() ? QString(kNoAnswers) : answers.join('\n'));
}

}  // namespace kst::springboard
