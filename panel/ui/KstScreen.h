#pragma once

#include <QString>

#include "panel/ui/KstNavBarView.h"
#include "panel/ui/PanelContext.h"
#include "platform/uikit/NavigationStack.h"

class QVBoxLayout;

namespace kst::panel {

// The frame every screen shares: the 60-point title bar on top and, below
// it, the content area (320 x 420 points on the 320 x 480 window) in which
// the screen lays out its rows and tables. Screens are built by their
// constructors; what they show is re-read in the appearance hooks.
class KstScreen : public uikit::ViewController {
  Q_OBJECT

 public:
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 480;

  KstScreen(PanelContext& context, const QString& name, const QString& title, bool showsBack, bool showsAdd,
            bool showsEdit);

  KstNavBarView* navBar() const { return navBar_; }
  QWidget* content() const { return content_; }
  PanelContext& context() const { return context_; }
  const PanelStore& store() const { return context_.store; }

  // Gives every row of the screen the shared fonts.
  void applyRowFonts();
  void showEvent(QShowEvent* event) override;

  // The Back action: pops this screen.
  void goBackHome();

 protected:
  QVBoxLayout* contentLayout() const { return contentLayout_; }
  // Escape typed in the screen: Back where there is one. A screen shown
  // over another, without Back, closes as its own button closes it.
  virtual void escapePressed();

 private:
  PanelContext& context_;
  KstNavBarView* navBar_;
  QWidget* content_;
  QVBoxLayout* contentLayout_;
};

}  // namespace kst::panel
