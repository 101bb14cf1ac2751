#pragma once

#include "panel/ui/KstScreen.h"

class QPlainTextEdit;

namespace kst::panel {

// The connection log, read once when the screen is built; the trash button
// deletes the file.
class KstLogViewController : public KstScreen {
  Q_OBJECT

 public:
  explicit KstLogViewController(PanelContext& context);

  QPlainTextEdit* textView() const { return theTextView_; }
  void trash();

 private:
  QPlainTextEdit* theTextView_;
};

}  // namespace kst::panel
