#pragma once

#include <QTextBrowser>

#include "panel/ui/KstScreen.h"
#include "platform/uikit/GlyphButton.h"

namespace kst::panel {

// The documentation page in a light HTML view. Every link the page follows
// passes shouldStartLoad: the support mail link is held back for an alert
// that asks the reader to read the troubleshooting section first.
class KstWebViewController : public KstScreen {
  Q_OBJECT

 public:
  explicit KstWebViewController(PanelContext& context);

  void viewDidAppear() override;
  void viewWillDisappear() override;

  QTextBrowser* webView() const { return theWebView_; }
  // False when the address must not load (the support link).
  bool shouldStartLoad(const QUrl& url);
  void goBackButton();

 private:
  void load(const QUrl& url);

  QTextBrowser* theWebView_ = nullptr;
  uikit::GlyphButton* backButton_;
};

}  // namespace kst::panel
