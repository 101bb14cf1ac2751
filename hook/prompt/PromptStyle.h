#pragma once

#include <QColor>
#include <QString>
#include <vector>

#include "hook/prompt/PromptChoices.h"

class QLabel;
class QPushButton;
class QWidget;

// The prompt's look: colours, fonts and the style sheets of its views.
namespace kst::style {

inline const QColor kDarkText(64, 64, 64);
inline const QColor kDenyRed(255, 59, 48);
inline const QColor kPanelButtonTitle(0, 97, 255);
inline constexpr int kQuestionFontSize = 15;
inline constexpr int kMinimumQuestionFontSize = 9;
inline constexpr int kAnswerFontSize = 14;
inline constexpr int kMinimumHostFontSize = 14;
inline constexpr int kPanelButtonFontSize = 18;
// The whole text of a view that shows it shortened.
inline constexpr const char* kFullTextProperty = "hostText";
inline constexpr const char* kBackingSheet =
    "background: rgba(211, 211, 211, 51); border: 2px solid white; border-radius: 10px;";
inline constexpr const char* kPartsBackingSheet = "background: rgba(211, 211, 211, 200); border-radius: 5px;";

QColor accent(const prompt::Rgb& rgb);
void setTextColour(QWidget* widget, const QColor& colour);
// Sets the text at `size` points, shrunk down to `minimum` to fit the
// widget's width, and shortened in the middle when even that is too wide.
void setLabelText(QLabel* label, const QString& text, int size, int minimum, bool bold);
void setButtonText(QPushButton* button, const QString& text, int size, int minimum, bool bold);
void setButtonColour(QPushButton* button, const QColor& colour);
// Titles and borders in the mode's colour, aligned by tag.
void styleAnswerButtons(const std::vector<QPushButton*>& buttons, const QColor& tint);
void styleInfoButton(QPushButton* button, const QColor& tint);
// The panels' buttons: blue title on white, 18 points.
void stylePanelButton(QPushButton* button);

}  // namespace kst::style
