#include "platform/uikit/Alert.h"

#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/uikit/Accessibility.h"
#include "platform/uikit/AlertPlacement.h"
#include "platform/uikit/UIColors.h"

namespace kst::uikit {

namespace {

constexpr int kAlertWidth = 270;

// Every alert alive, in the order they were made.
QList<Alert*>& allAlerts() {
  static QList<Alert*> alerts;
  return alerts;
}

}  // namespace

Alert::~Alert() {
  allAlerts().removeAll(this);
}

Alert::Alert(const QString& title, const QString& message, const QString& cancelButton,
             const QStringList& otherButtons, QWidget* parent)
    : QDialog(parent ? parent->window() : nullptr, Qt::Dialog | Qt::FramelessWindowHint),
      title_(title),
      message_(message) {
  installAccessibleInterfaces();
  allAlerts() << this;
  setObjectName("alert");
  setAccessibleName(title);
  setAccessibleDescription(message);
  setAttribute(Qt::WA_DeleteOnClose);
  // Modal to its own window only; with none, to the application.
  setWindowModality(parentWidget() != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
  setWindowTitle(title);
  if (parentWidget() != nullptr) placement_ = new AlertPlacement(this, parentWidget());
  setFixedWidth(kAlertWidth);
  setStyleSheet(
      "kst--uikit--Alert { background: rgb(248,248,248); border: 1px solid rgb(200,200,200); border-radius: "
      "10px; }"
      "QPushButton { border: none; border-top: 1px solid rgb(215,215,215); min-height: 40px;"
      " color: rgb(0,122,255); font-size: 15px; background: transparent; }"
      "QPushButton:pressed { background: rgb(225,225,225); }"
      "QLineEdit { background: white; border: 1px solid rgb(200,200,200); padding: 4px; font-size: 15px; }");
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(0, 16, 0, 0);
  layout_->setSpacing(8);
  auto* titleLabel = new QLabel(title, this);
  titleLabel->setObjectName("alertTitle");
  titleLabel->setWordWrap(true);
  titleLabel->setAlignment(Qt::AlignCenter);
  titleLabel->setStyleSheet("font-weight: bold; font-size: 15px; padding: 0 14px;");
  layout_->addWidget(titleLabel);
  if (!message.isEmpty()) {
    auto* messageLabel = new QLabel(message, this);
    messageLabel->setObjectName("alertMessage");
    messageLabel->setWordWrap(true);
    messageLabel->setAlignment(Qt::AlignCenter);
    messageLabel->setStyleSheet("font-size: 13px; padding: 0 14px;");
    layout_->addWidget(messageLabel);
  }
  QStringList titles;
  if (!cancelButton.isEmpty()) {
    titles << cancelButton;
    cancelIndex_ = 0;
  }
  titles << otherButtons;
  // Two buttons side by side, more in a column, as the original platform lays them out.
  QBoxLayout* row = titles.size() == 2 ? static_cast<QBoxLayout*>(new QHBoxLayout) : new QVBoxLayout;
  row->setSpacing(0);
  for (int i = 0; i < titles.size(); ++i) {
    auto* b = new QPushButton(titles[i], this);
    b->setObjectName(QStringLiteral("alertButton%1").arg(i));
    b->setAccessibleName(titles[i]);
    b->setAutoDefault(false);
    if (i == cancelIndex_) b->setStyleSheet("font-weight: bold;");
    connect(b, &QPushButton::clicked, this, [this, i] { dismissWithButtonIndex(i); });
    buttons_ << b;
    row->addWidget(b);
  }
  layout_->addSpacing(6);
  layout_->addLayout(row);
}

QLineEdit* Alert::addTextField() {
  if (field_ != nullptr) return field_;
  field_ = new QLineEdit(this);
  field_->setObjectName("alertTextField");
  field_->setAccessibleName(title_);
  auto* holder = new QHBoxLayout;
  holder->setContentsMargins(14, 0, 14, 0);
  holder->addWidget(field_);
  layout_->insertLayout(layout_->count() - 2, holder);
  return field_;
}

QComboBox* Alert::addChoice(const QString& label, const QStringList& choices) {
  if (choice_ != nullptr) return choice_;
  choice_ = new QComboBox(this);
  choice_->setObjectName("alertChoice");
  choice_->setAccessibleName(label);
  choice_->addItems(choices);
  auto* caption = new QLabel(label, this);
  caption->setObjectName("alertChoiceLabel");
  caption->setBuddy(choice_);
  caption->setStyleSheet("font-size: 13px;");
  auto* holder = new QHBoxLayout;
  holder->setContentsMargins(14, 0, 14, 0);
  holder->addWidget(caption);
  holder->addWidget(choice_, 1);
  // Above the spacing and the buttons, below the text field.
  layout_->insertLayout(layout_->count() - 2, holder);
  return choice_;
}

QStringList Alert::buttonTitles() const {
  QStringList out;
  for (const QPushButton* b : buttons_) out << b->text();
  return out;
}

void Alert::show() {
  adjustSize();
  if (placement_ != nullptr) placement_->centre();
  QDialog::open();
  if (field_ != nullptr) field_->setFocus();
}

void Alert::dismissWithButtonIndex(int index) {
  if (dismissed_ || index < 0 || index >= buttons_.size()) return;
  dismissed_ = true;
  emit willDismissWithButtonIndex(index);
  hide();
  emit dismissedWithButtonIndex(index);
  close();
}

void Alert::reject() {
  if (cancelIndex_ >= 0) dismissWithButtonIndex(cancelIndex_);
}

QList<Alert*> Alert::visibleAlerts() {
  QList<Alert*> out;
  for (Alert* a : allAlerts()) {
    if (a->isVisible()) out << a;
  }
  return out;
}

}  // namespace kst::uikit
