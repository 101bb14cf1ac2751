#include "panel/ui/KstMainViewController.h"

#include <QVBoxLayout>

#include "panel/store/UserDefaults.h"
#include "panel/ui/KstAppChooserControllerViewController.h"
#include "panel/ui/KstAppViewController.h"
#include "panel/ui/KstRuleListViewController.h"
#include "panel/ui/KstSettingsViewController.h"
#include "panel/ui/PanelStyle.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Alert.h"
#include "platform/uikit/TableRow.h"

namespace kst::panel {

KstMainViewController::KstMainViewController(PanelContext& context)
    : KstScreen(context, "mainScreen", text::kMainTitle, false, true, false),
      model_(context.store, context.apps.catalogue()) {
  connect(navBar()->addButton(), &QAbstractButton::clicked, this, &KstMainViewController::add);
  connect(navBar()->showSettingsButton(), &QAbstractButton::clicked, this,
          &KstMainViewController::presentSettings);
  appTable_ = new AppTable(context.apps, true, content());
  contentLayout()->addWidget(appTable_->searchBar());
  globalSection_ = new QWidget(content());
  auto* section = new QVBoxLayout(globalSection_);
  section->setContentsMargins(0, 0, 0, 0);
  section->setSpacing(0);
  const struct {
    const char* title;
    const char* name;
    RowImage image;
    bool isDeny;
  } rows[] = {{text::kGlobalAllow, "globalAllowRow", RowImage::kGlobalAllow, false},
              {text::kGlobalDeny, "globalDenyRow", RowImage::kGlobalDeny, true}};
  for (const auto& r : rows) {
    auto* row = new uikit::TableRow(r.title, text::kAppliedToAllApps, globalSection_);
    row->setObjectName(r.name);
    row->setIcon(rowImage(r.image));
    row->setShowsDisclosure(true);
    const bool isDeny = r.isDeny;
    connect(row, &uikit::TableRow::tapped, this, [this, isDeny] {
      navigationStack()->push(KstRuleListViewController::global(this->context(), isDeny));
    });
    section->addWidget(row);
  }
  section->addWidget(new uikit::SectionGap(3, globalSection_));
  contentLayout()->addWidget(globalSection_);
  contentLayout()->addWidget(appTable_->table(), 1);
  // While search results show, they take the whole table.
  connect(appTable_, &AppTable::searchingChanged, globalSection_,
          [this](bool s) { globalSection_->setVisible(!s); });
  connect(appTable_->table(), &uikit::TableView::rowTapped, this, &KstMainViewController::openApp);
  connect(appTable_->table(), &uikit::TableView::deleteRequested, this, &KstMainViewController::deleteApp);
  model_.ensureRulesFile();
}

void KstMainViewController::viewDidAppear() {
  loadApps();
  if (!shownDisabledAlert_ && AppListModel::isDisabled(store())) {
    shownDisabledAlert_ = true;
    (new uikit::Alert(text::kDisabledTitle, text::kDisabledMessage, text::kOK, {}, this))->show();
  }
  showIntroductionAlertIfNeeded();
}

void KstMainViewController::loadApps() {
  appTable_->setApps(model_.loadApps());
}

void KstMainViewController::showIntroductionAlertIfNeeded() {
  const UserDefaults defaults(store());
  if (defaults.objectForKey(UserDefaults::kShownIntroductionAlertKey)) return;
  auto* alert =
      new uikit::Alert(text::kIntroTitle, text::kIntroMessage, text::kNo, {text::kYesOfCourse}, this);
  alert->setObjectName("introductionAlert");
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this](int index) {
    if (index == 1 && this->context().openUrl) {
      this->context().openUrl(this->context().documentationUrl);
    }
  });
  alert->show();
  defaults.setObject(UserDefaults::kShownIntroductionAlertKey,
                     plist::Value(std::string(UserDefaults::kShownIntroductionAlertValue)));
}

void KstMainViewController::openApp(int row) {
  const AppEntry* app = appTable_->entryAt(row);
  if (app == nullptr) return;
  navigationStack()->push(new KstAppViewController(context(), app->bundleIdentifier,
                                                   app->displayName.value_or(app->bundleIdentifier)));
}

void KstMainViewController::deleteApp(int row) {
  const AppEntry* app = appTable_->entryAt(row);
  if (app == nullptr) return;
  const std::string id = app->bundleIdentifier;
  model_.deleteApp(id);
  appTable_->removeApp(id);
}

void KstMainViewController::add() {
  navigationStack()->present(new KstAppChooserControllerViewController(context(), this));
}

void KstMainViewController::addBundleIdentifier(const std::string& bundleIdentifier) {
  model_.addBundleIdentifier(bundleIdentifier);
}

void KstMainViewController::presentSettings() {
  navigationStack()->push(new KstSettingsViewController(context()));
}

}  // namespace kst::panel
