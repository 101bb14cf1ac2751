#include "panel/ui/KstNavBarView.h"

#include <QLabel>

#include "panel/ui/PanelStyle.h"

namespace kst::panel {

using Glyph = uikit::GlyphButton::Glyph;

KstNavBarView::KstNavBarView(QWidget* parent, bool showsBackButton, bool showsAddButton, bool showsEditButton)
    : uikit::TitleBar(parent) {
  titleLabel()->setFont(barTitleFont());
  backButton_ = makeButton(Glyph::kBack, "Back", QRect(0, 17, 52, 46), showsBackButton);
  addButton_ = makeButton(Glyph::kAdd, "Add", QRect(276, 24, 32, 32), showsAddButton);
  editButton_ = makeButton(Glyph::kEdit, "Edit", QRect(276, 24, 32, 32), showsEditButton);
}

uikit::GlyphButton* KstNavBarView::makeButton(Glyph glyph, const QString& name, const QRect& frame,
                                              bool visible) {
  auto* b = new uikit::GlyphButton(glyph, this);
  b->setObjectName(name.toLower() + "Button");
  b->setAccessibleName(name);
  b->setToolTip(name);
  placeButton(b, frame);
  b->setVisible(visible);
  return b;
}

uikit::GlyphButton* KstNavBarView::showSettingsButton() {
  backButton_->hide();
  if (settingsButton_ == nullptr) {
    settingsButton_ = makeButton(Glyph::kSettings, "Settings", QRect(0, 17, 52, 46), true);
  }
  return settingsButton_;
}

uikit::GlyphButton* KstNavBarView::addRightButton(Glyph glyph, const QString& name, int y) {
  return makeButton(glyph, name, QRect(276, y, 32, 32), true);
}

void KstNavBarView::changeEditButtonVisibility(bool visible) {
  editButton_->setVisible(visible);
}

}  // namespace kst::panel
