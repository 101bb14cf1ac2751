#include "panel/ui/KstScreen.h"

#include <QShortcut>
#include <QVBoxLayout>

#include "panel/ui/PanelStyle.h"
#include "platform/uikit/TableRow.h"

namespace kst::panel {

KstScreen::KstScreen(PanelContext& context, const QString& name, const QString& title, bool showsBack,
                     bool showsAdd, bool showsEdit)
    : context_(context) {
  setObjectName(name);
  setAccessibleName(title);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  navBar_ = new KstNavBarView(this, showsBack, showsAdd, showsEdit);
  navBar_->setFixedWidth(kWidth);
  navBar_->resize(kWidth, uikit::TitleBar::kHeight);
  navBar_->setTitleString(title);
  root->addWidget(navBar_);
  // The soft edge between the bar and the content.
  auto* edge = new QWidget(this);
  edge->setFixedHeight(1);
  edge->setStyleSheet("background: rgb(215,220,220);");
  root->addWidget(edge);
  content_ = new QWidget(this);
  content_->setObjectName("content");
  contentLayout_ = new QVBoxLayout(content_);
  contentLayout_->setContentsMargins(0, 0, 0, 0);
  contentLayout_->setSpacing(0);
  root->addWidget(content_, 1);
  connect(navBar_->backButton(), &QAbstractButton::clicked, this, &KstScreen::goBackHome);
  // Escape is the keyboard's Back, on the screens that have one.
  auto* back = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  back->setContext(Qt::WidgetWithChildrenShortcut);
  connect(back, &QShortcut::activated, this, [this] { escapePressed(); });
}

void KstScreen::escapePressed() {
  if (navBar_->backButton()->isVisible()) goBackHome();
}

void KstScreen::applyRowFonts() {
  const QFont title = titleFont(15, 14);
  const QFont second = lightFont(13, 13);
  for (uikit::TableRow* row : findChildren<uikit::TableRow*>()) row->setFonts(title, second);
}

void KstScreen::showEvent(QShowEvent* event) {
  applyRowFonts();
  uikit::ViewController::showEvent(event);
}

void KstScreen::goBackHome() {
  if (navigationStack() != nullptr) navigationStack()->pop();
}

}  // namespace kst::panel
