#include "panel/ui/KstWebViewController.h"

#include <QVBoxLayout>

#include "panel/store/PanelConfig.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Alert.h"

namespace kst::panel {

KstWebViewController::KstWebViewController(PanelContext& context)
    : KstScreen(context, "documentationScreen", text::kDocumentationTitle, true, false, false) {
  theWebView_ = new QTextBrowser(content());
  theWebView_->setObjectName("webView");
  theWebView_->setAccessibleName(text::kDocumentationTitle);
  theWebView_->setFrameShape(QFrame::NoFrame);
  theWebView_->setOpenLinks(false);  // every link passes shouldStartLoad
  theWebView_->setStyleSheet("QTextBrowser { background: rgb(239,239,244); padding: 4px; }");
  contentLayout()->addWidget(theWebView_, 1);
  connect(theWebView_, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
    const QUrl target = theWebView_->source().resolved(url);
    if (!shouldStartLoad(target)) return;
    if (target.isLocalFile() && target.fileName() == theWebView_->source().fileName() &&
        target.hasFragment()) {
      theWebView_->scrollToAnchor(target.fragment());
    } else if (target.isLocalFile()) {
      load(target);
    } else if (this->context().openUrl) {
      this->context().openUrl(target);  // pages elsewhere open in the browser
    }
  });
  backButton_ = new uikit::GlyphButton(uikit::GlyphButton::Glyph::kBack, theWebView_);
  backButton_->setObjectName("historyBackButton");
  backButton_->setAccessibleName("Previous page");
  backButton_->hide();
  connect(backButton_, &QAbstractButton::clicked, this, &KstWebViewController::goBackButton);
  connect(theWebView_, &QTextBrowser::backwardAvailable, backButton_, &QWidget::setVisible);
}

void KstWebViewController::viewDidAppear() {
  backButton_->setGeometry(5, theWebView_->height() - 37, 32, 32);
  load(context().documentationUrl);
}

void KstWebViewController::load(const QUrl& url) {
  if (url.isLocalFile()) theWebView_->setSource(url);
}

void KstWebViewController::viewWillDisappear() {
  // A local page loads at once; nothing is left to stop.
}

bool KstWebViewController::shouldStartLoad(const QUrl& url) {
  const QString lowered = url.toString().toLower();
  const QString support =
      QString("mailto:") + QString::fromUtf8(config::kSupportAddress.data(), config::kSupportAddress.size());
  if (lowered != support) return true;
  auto* alert = new uikit::Alert(text::kTroubleshootingTitle, text::kTroubleshootingMessage,
                                 text::kEmailSupport, {text::kReadFirst}, this);
  alert->setObjectName("troubleshootingAlert");
  connect(alert, &uikit::Alert::willDismissWithButtonIndex, this, [this](int index) {
    if (index != 0 || !context().openUrl) return;
    context().openUrl(
        QUrl(QString("mailto://") +
             QString::fromUtf8(config::kSupportAddress.data(), config::kSupportAddress.size()) +
             QString::fromUtf8(config::kSupportMailQuery.data(), config::kSupportMailQuery.size())));
  });
  alert->show();
  return false;
}

void KstWebViewController::goBackButton() {
  theWebView_->backward();
}

}  // namespace kst::panel
