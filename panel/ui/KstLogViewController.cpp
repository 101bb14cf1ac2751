#include "panel/ui/KstLogViewController.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "panel/ui/PanelTexts.h"

namespace kst::panel {

KstLogViewController::KstLogViewController(PanelContext& context)
    : KstScreen(context, "logScreen", text::kLogTitle, true, false, false) {
  auto* trashButton = navBar()->addRightButton(uikit::GlyphButton::Glyph::kTrash, "Trash");
  connect(trashButton, &QAbstractButton::clicked, this, &KstLogViewController::trash);
  theTextView_ = new QPlainTextEdit(content());
  theTextView_->setObjectName("logText");
  theTextView_->setAccessibleName("Log");
  theTextView_->setReadOnly(true);
  theTextView_->setFrameShape(QFrame::NoFrame);
  theTextView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  theTextView_->setStyleSheet("QPlainTextEdit { background: white; color: rgb(60,66,66); font-size: 11px; }");
  contentLayout()->addWidget(theTextView_, 1);
  const std::optional<std::string> log = store().readLog();
  theTextView_->setPlainText(log ? QString::fromStdString(*log) : QString(text::kNoContent));
}

void KstLogViewController::trash() {
  if (store().logExists()) store().removeLog();
  theTextView_->setPlainText(text::kNoContent);
}

}  // namespace kst::panel
