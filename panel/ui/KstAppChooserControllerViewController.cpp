#include "panel/ui/KstAppChooserControllerViewController.h"

#include <QVBoxLayout>

#include "panel/ui/KstMainViewController.h"
#include "panel/ui/PanelTexts.h"

namespace kst::panel {

KstAppChooserControllerViewController::KstAppChooserControllerViewController(
    PanelContext& context, KstMainViewController* mainViewController)
    : KstScreen(context, "chooserScreen", text::kChooserTitle, false, false, false),
      mainViewController_(mainViewController) {
  auto* accept = navBar()->addRightButton(uikit::GlyphButton::Glyph::kAccept, "Done", 23);
  connect(accept, &QAbstractButton::clicked, this, &KstAppChooserControllerViewController::done);
  appTable_ = new AppTable(context.apps, false, content());
  appTable_->table()->setCanDeleteRow([](int) { return false; });
  contentLayout()->addWidget(appTable_->searchBar());
  contentLayout()->addWidget(appTable_->table(), 1);
  connect(appTable_->table(), &uikit::TableView::rowTapped, this,
          &KstAppChooserControllerViewController::choose);
  // The catalogue is read again: applications may have come since.
  context.apps.catalogue().rescan();
  appTable_->setApps(AppListModel(store(), context.apps.catalogue()).chooserApps());
}

void KstAppChooserControllerViewController::choose(int row) {
  const AppEntry* app = appTable_->entryAt(row);
  if (app == nullptr) return;
  if (mainViewController_) mainViewController_->addBundleIdentifier(app->bundleIdentifier);
  done();
}

void KstAppChooserControllerViewController::done() {
  if (navigationStack() != nullptr) navigationStack()->dismissPresented();
}

}  // namespace kst::panel
