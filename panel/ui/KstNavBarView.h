#pragma once

#include "platform/uikit/GlyphButton.h"
#include "platform/uikit/TitleBar.h"

namespace kst::panel {

// The title bar of every screen: Back on the left (or Settings on the main
// screen), Add or Edit on the right (one place: a screen shows at most one),
// or a screen's own right button (Reload, Trash, Accept). The screens
// connect the buttons' clicked signals to their actions.
class KstNavBarView : public uikit::TitleBar {
  Q_OBJECT

 public:
  KstNavBarView(QWidget* parent, bool showsBackButton, bool showsAddButton, bool showsEditButton);

  uikit::GlyphButton* backButton() const { return backButton_; }
  uikit::GlyphButton* addButton() const { return addButton_; }
  uikit::GlyphButton* editButton() const { return editButton_; }
  uikit::GlyphButton* settingsButton() const { return settingsButton_; }

  // The main screen's left button.
  uikit::GlyphButton* showSettingsButton();
  // A screen's own button at the right place (276, 24, 32, 32).
  uikit::GlyphButton* addRightButton(uikit::GlyphButton::Glyph glyph, const QString& name, int y = 24);
  // Rule lists hide the edit button while a rule is being typed.
  void changeEditButtonVisibility(bool visible);

 private:
  uikit::GlyphButton* makeButton(uikit::GlyphButton::Glyph glyph, const QString& name, const QRect& frame,
                                 bool visible);

  uikit::GlyphButton* backButton_;
  uikit::GlyphButton* addButton_;
  uikit::GlyphButton* editButton_;
  uikit::GlyphButton* settingsButton_ = nullptr;
};

}  // namespace kst::panel
