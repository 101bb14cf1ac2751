#pragma once

#include <QPointer>

#include "panel/store/AppListModel.h"
#include "panel/ui/AppTable.h"
#include "panel/ui/KstScreen.h"

namespace kst::panel {

class KstMainViewController;

// The modal "Add App" screen: the installed applications not yet in the
// rules file. Choosing one adds it through the main screen and closes the
// chooser; the accept button closes it without adding. Writes nothing itself.
class KstAppChooserControllerViewController : public KstScreen {
  Q_OBJECT

 public:
  KstAppChooserControllerViewController(PanelContext& context, KstMainViewController* mainViewController);

  AppTable& apps() { return *appTable_; }
  void done();

 protected:
  // Escape leaves the chooser as Done does, choosing nothing.
  void escapePressed() override { done(); }

 private:
  void choose(int row);

  AppTable* appTable_;
  QPointer<KstMainViewController> mainViewController_;
};

}  // namespace kst::panel
