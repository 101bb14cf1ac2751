// The prompt's two panels: WhoIs (opened by the host button) and the port
// list (opened by the information button).
#include <syslog.h>

#include <QFontDatabase>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStringDecoder>
#include <QTextEdit>

#include "hook/prompt/KstPopUpPrompt.h"
#include "hook/prompt/PortList.h"
#include "hook/prompt/PromptChoices.h"
#include "hook/prompt/PromptStyle.h"
#include "hook/prompt/SpringBoardAccess.h"
#include "platform/fs/DeviceRoot.h"

namespace kst {

namespace {

constexpr const char* kCloseWhoIsTitle = "Close WhoIs";
constexpr const char* kCloseTitle = "Close";
constexpr int kWhoIsTimeOutMs = 10000;
constexpr const char* kNotAHost = "not a host name or address";

bool landscape(int code) {
  return code == 1 || code == 2;
}

}  // namespace

void KstPopUpPrompt::createWhoIs() {
  if (myView_ == nullptr || whoIsWindow_) return;
  cancelTimeOut();
  if (sb_access::isLocked()) sb_access::resetLockScreenIdleTimer();
  const std::optional<std::string> query = prompt::whoIsQuery(host_);
  if (options_.hook7 && query) syslog(LOG_NOTICE, "queryString %s", query->c_str());

  auto* panel = new QWidget(myView_);
  panel->setObjectName("whoIsWindow");
  panel->setAccessibleName("WhoIs");
  panel->setAutoFillBackground(true);
  panel->setGeometry(0, 0, 320, 480);
  closeButton_ = new QPushButton(kCloseWhoIsTitle, panel);
  closeButton_->setObjectName("closeButton");
  closeButton_->setAccessibleName(kCloseWhoIsTitle);
  closeButton_->setGeometry(0, 20, 320, 35);
  style::stylePanelButton(closeButton_);
  closeButton_->setEnabled(false);
  connect(closeButton_, &QPushButton::clicked, this, [this] { removeWhoIs(); });
  whoIsTextView_ = new QTextEdit(panel);
  whoIsTextView_->setObjectName("whoIsTextView");
  whoIsTextView_->setAccessibleName("WhoIs record");
  whoIsTextView_->setReadOnly(true);
  whoIsTextView_->setAcceptRichText(false);
  whoIsTextView_->setGeometry(0, 53, 320, 430);
  whoIsTextView_->setPlainText(prompt::kWhoIsWait);
  int dx = 0;
  int dy = -20;
  if (landscape(orientationInt_)) {
    panel->setGeometry(0, 0, 320, 320);
    whoIsTextView_->setGeometry(0, 53, 320, 287);
    dx = 70;
  } else if (orientationInt_ == 3) {
    dy = 20;
  }
  panel->move(panel->pos() + QPoint(dx, dy));
  panel->raise();
  panel->show();
  whoIsWindow_ = panel;
  canExit_ = false;

  const std::optional<std::string> url = query ? prompt::whoIsUrl(options_.whoIsHost, *query) : std::nullopt;
  if (!url) {
    // A host that is neither a name nor an address never reaches a request.
    whoIsAction(std::nullopt, kNotAHost);
    return;
  }
  if (network_ == nullptr) network_ = new QNetworkAccessManager(this);
  QNetworkRequest request(QUrl(QString::fromStdString(*url), QUrl::StrictMode));
  request.setTransferTimeout(kWhoIsTimeOutMs);
  QNetworkReply* reply = network_->get(request);
  connect(reply, &QNetworkReply::finished, whoIsTextView_, [this, reply] {
    reply->deleteLater();
    const QByteArray bytes = reply->readAll();
    std::optional<std::string> page;
    if (!bytes.isEmpty()) {
      QStringDecoder utf8(QStringDecoder::Utf8);
      const QString text = utf8(bytes);
      if (!utf8.hasError()) page = text.toStdString();
    }
    whoIsAction(page, reply->error() != QNetworkReply::NoError ? reply->errorString() : QString());
  });
}

void KstPopUpPrompt::whoIsAction(const std::optional<std::string>& page, const QString& error) {
  if (!whoIsWindow_) return;
  if (!page) {
    whoIsTextView_->setPlainText(QString(prompt::kWhoIsFailed) + " " + error);
  } else {
    whoIsTextView_->setPlainText(QString::fromStdString(prompt::whoIsText(*page, isIP_, options_.hook7)));
  }
  whoIsTextView_->raise();
  closeButton_->setEnabled(true);
  canExit_ = true;
}

void KstPopUpPrompt::removeWhoIs() {
  if (!canExit_ || !whoIsWindow_) return;
  whoIsWindow_->hide();
  whoIsWindow_->deleteLater();
  whoIsWindow_ = nullptr;
  whoIsTextView_ = nullptr;
  closeButton_ = nullptr;
}

void KstPopUpPrompt::portInfoButtonPressed() {
  if (myView_ == nullptr || scroller_) return;
  cancelTimeOut();
  auto* scroller = new QScrollArea(myView_);
  scroller->setObjectName("scroller");
  scroller->setAccessibleName("Ports");
  scroller->setGeometry(0, 35, 320, 446);
  scroller->setStyleSheet("QScrollArea { background: white; border: none; }");
  portTextView_ = new QPlainTextEdit();
  portTextView_->setObjectName("portTextView");
  portTextView_->setAccessibleName("Port list");
  portTextView_->setReadOnly(true);
  portTextView_->setLineWrapMode(QPlainTextEdit::NoWrap);
  portTextView_->setStyleSheet("QPlainTextEdit { background: white; color: black; border: none; }");
  // The list is laid out in columns.
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(12);
  portTextView_->setFont(fixed);
  portTextView_->resize(700, 430);
  portTextView_->setPlainText(prompt::readPortList(DeviceRoot::process().path(prompt::kPortListPath)));
  scroller->setWidget(portTextView_);
  portCloseButton_ = new QPushButton(kCloseTitle, myView_);
  portCloseButton_->setObjectName("portCloseButton");
  portCloseButton_->setAccessibleName(kCloseTitle);
  portCloseButton_->setGeometry(0, 0, 320, 35);
  style::stylePanelButton(portCloseButton_);
  connect(portCloseButton_, &QPushButton::clicked, this, [this] { removePortTextView(); });
  if (landscape(orientationInt_)) {
    scroller->setGeometry(0, 53, 320, 287);
    scroller->move(scroller->pos() + QPoint(70, -20));
    portCloseButton_->move(portCloseButton_->pos() + QPoint(70, 0));
  } else if (orientationInt_ == 3) {
    scroller->move(scroller->pos() + QPoint(0, 20));
  }
  scroller->raise();
  portCloseButton_->raise();
  scroller->show();
  portCloseButton_->show();
  scroller_ = scroller;
}

void KstPopUpPrompt::removePortTextView() {
  if (scroller_) {
    scroller_->hide();
    scroller_->deleteLater();
  }
  if (portCloseButton_ != nullptr) {
    portCloseButton_->hide();
    portCloseButton_->deleteLater();
  }
  scroller_ = nullptr;
  portTextView_ = nullptr;
  portCloseButton_ = nullptr;
}

}  // namespace kst
