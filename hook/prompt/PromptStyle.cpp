#include "hook/prompt/PromptStyle.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "platform/uikit/UIColors.h"

namespace kst::style {

namespace {

// The keyboard's place on the prompt: the focus colour of the toolkit.
QString focusRule() {
  return QStringLiteral("QPushButton:focus { border: 2px solid %1; border-radius: 6px; }")
      .arg(uikit::focusRing().name());
}

constexpr const char* kAlignments[prompt::kButtonCount] = {"left", "right",  "right",
                                                           "left", "center", "center"};

QFont fitted(QFont font, const QString& text, int width, int size, int minimum, bool bold) {
  font.setBold(bold);
  for (int px = size; px >= minimum; --px) {
    font.setPixelSize(px);
    if (QFontMetrics(font).horizontalAdvance(text) <= width) break;
  }
  return font;
}

}  // namespace

QColor accent(const prompt::Rgb& rgb) {
  return QColor::fromRgbF(static_cast<float>(rgb.r), static_cast<float>(rgb.g), static_cast<float>(rgb.b));
}

void setTextColour(QWidget* widget, const QColor& colour) {
  widget->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(colour.name()));
}

void setLabelText(QLabel* label, const QString& text, int size, int minimum, bool bold) {
  const QFont font = fitted(label->font(), text, label->width(), size, minimum, bold);
  label->setFont(font);
  label->setText(QFontMetrics(font).elidedText(text, Qt::ElideMiddle, label->width()));
}

void setButtonText(QPushButton* button, const QString& text, int size, int minimum, bool bold) {
  const QFont font = fitted(button->font(), text, button->width(), size, minimum, bold);
  button->setFont(font);
  button->setText(QFontMetrics(font).elidedText(text, Qt::ElideMiddle, button->width() - 4));
}

void setButtonColour(QPushButton* button, const QColor& colour) {
  button->setStyleSheet(
      QStringLiteral("QPushButton { color: %1; background: transparent; border: none; }").arg(colour.name()) +
      focusRule());
}

void styleAnswerButtons(const std::vector<QPushButton*>& buttons, const QColor& tint) {
  for (std::size_t tag = 0; tag < buttons.size() && tag < prompt::kButtonCount; ++tag) {
    QFont font = buttons[tag]->font();
    font.setPixelSize(kAnswerFontSize);
    buttons[tag]->setFont(font);
    buttons[tag]->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; background: transparent; border: 1px solid %1;"
                       " border-radius: 6px; padding: 0 5px; text-align: %2; }"
                       "QPushButton:pressed { background: rgba(255, 255, 255, 60); }")
            .arg(tint.name(), kAlignments[tag]) +
        focusRule());
  }
}

void styleInfoButton(QPushButton* button, const QColor& tint) {
  QFont font = button->font();
  font.setPixelSize(9);
  font.setBold(true);
  button->setFont(font);
  button->setText("i");
  button->setStyleSheet(
      QStringLiteral(
          "QPushButton { color: %1; background: transparent; border: 1px solid %1; border-radius: 6px;"
          " padding: 0; }")
          .arg(tint.name()) +
      focusRule());
}

void stylePanelButton(QPushButton* button) {
  QFont font = button->font();
  font.setPixelSize(kPanelButtonFontSize);
  button->setFont(font);
  button->setStyleSheet(QStringLiteral("QPushButton { color: %1; background: white; border: none; }"
                                       "QPushButton:disabled { color: #a0a0a0; }")
                            .arg(kPanelButtonTitle.name()) +
                        focusRule());
}

}  // namespace kst::style
