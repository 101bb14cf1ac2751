#include "panel/ui/KstSettingsViewController.h"

#include <QScrollArea>
#include <QVBoxLayout>

#include "panel/store/PanelConfig.h"
#include "panel/store/Reachability.h"
#include "panel/ui/KstImportViewControllers.h"
#include "panel/ui/KstLogViewController.h"
#include "panel/ui/KstWebViewController.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Alert.h"
#include "platform/uikit/TableRow.h"

namespace kst::panel {

namespace {

// The settings screen's rows: ten sections of one row.
QVBoxLayout* scrollingRows(QWidget* content, QVBoxLayout* contentLayout) {
  auto* scroll = new QScrollArea(content);
  scroll->setObjectName("settingsScroll");
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // A thin bar, so the rows keep their 320 points.
  scroll->setStyleSheet(
      "QScrollBar:vertical { width: 3px; background: transparent; }"
      "QScrollBar::handle:vertical { background: rgb(190,198,198); min-height: 30px; }"
      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }");
  auto* inner = new QWidget(scroll);
  inner->setStyleSheet("background: white;");
  auto* rows = new QVBoxLayout(inner);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(0);
  scroll->setWidget(inner);
  contentLayout->addWidget(scroll, 1);
  return rows;
}

}  // namespace

KstSettingsViewController::KstSettingsViewController(PanelContext& context)
    : KstScreen(context, "settingsScreen", text::kSettingsTitle, true, false, false), model_(context.store) {
  QVBoxLayout* rows = scrollingRows(content(), contentLayout());
  QWidget* inner = rows->parentWidget();
  int section = 0;
  const auto row = [&](const QString& title, const QString& under, const QString& name) {
    if (section++ > 0) rows->addWidget(new uikit::SectionGap(6, inner));
    auto* r = new uikit::TableRow(title, under, inner);
    r->setObjectName(name);
    rows->addWidget(r);
    return r;
  };
  const auto globalSwitch = [&](const char* title, const char* under, const char* name,
                                const GlobalSwitch& which) {
    uikit::TableRow* r = row(title, under, QString(name) + "Row");
    uikit::Switch* sw = addSwitch(r, name);
    switches_.emplace_back(&which, sw);
    connect(sw, &uikit::Switch::valueChanged, this,
            [this, &which](bool on) { globalSwitchChanged(which, on); });
    return r;
  };

  uikit::TableRow* enabledRow = row(text::kEnabled, text::kEnabledUnder, "enabledRow");
  enabledRow->setHighlights(false);
  enabled_ = addSwitch(enabledRow, "enabledSwitch");
  connect(enabled_, &uikit::Switch::valueChanged, this, [this](bool on) { model_.setFirewallEnabled(on); });
  uikit::TableRow* docs = row(text::kDocumentation, text::kDocumentationUnder, "documentationRow");
  docs->setShowsDisclosure(true);
  connect(docs, &uikit::TableRow::tapped, this, &KstSettingsViewController::openDocumentation);
  globalSwitch(text::kBlockIfNotOnWiFi, text::kBlockNonWiFiUnder, "blockNonWiFiSwitch",
               SettingsModel::kBlockNonWiFi)
      ->setHighlights(false);
  globalSwitch(text::kRespectGlobal, text::kRespectGlobalUnder, "respectGlobalSwitch",
               SettingsModel::kRespectGlobal)
      ->setHighlights(false);
  uikit::TableRow* logRow = globalSwitch(text::kLog, text::kLogUnder, "logSwitch", SettingsModel::kLog);
  connect(logRow, &uikit::TableRow::tapped, this,
          [this] { navigationStack()->push(new KstLogViewController(this->context())); });
  globalSwitch(text::kPlaySound, text::kPlaySoundUnder, "playSoundSwitch", SettingsModel::kPlaySoundInSleep);
  uikit::TableRow* io = row(text::kImportExportSettings, text::kImportExportUnder, "importExportRow");
  io->setShowsDisclosure(true);
  connect(io, &uikit::TableRow::tapped, this,
          [this] { navigationStack()->push(new KstImportExportViewController(this->context())); });
  globalSwitch(text::kSolidPopup, text::kSolidPopupUnder, "solidPopupSwitch", SettingsModel::kSolidPopup);
  globalSwitch(text::kAdvancedResolution, text::kAdvancedResolutionUnder, "advancedResolutionSwitch",
               SettingsModel::kAdvancedHostnameResolution);
  uikit::TableRow* reset =
      row(text::kDeleteAllRulesAndSettings, text::kWillAskForConfirmation, "deleteAllRow");
  reset->setHighlights(false);
  connect(reset, &uikit::TableRow::tapped, this, &KstSettingsViewController::confirmDeleteAll);
  rows->addStretch(1);
}

uikit::Switch* KstSettingsViewController::addSwitch(uikit::TableRow* row, const QString& name) {
  auto* sw = new uikit::Switch;
  sw->setObjectName(name);
  sw->setAccessibleName(row->title());
  sw->setAccessibleDescription(row->subtitle());
  row->setAccessory(sw);
  return sw;
}

void KstSettingsViewController::viewWillAppear() {
  showStates();
}

void KstSettingsViewController::showStates() {
  enabled_->setOn(model_.firewallEnabled());
  for (const auto& [which, sw] : switches_) sw->setOn(model_.value(*which));
}

void KstSettingsViewController::globalSwitchChanged(const GlobalSwitch& which, bool on) {
  model_.setValue(which, on);
  if (&which == &SettingsModel::kLog && on) {
    auto* alert = new uikit::Alert(text::kPleaseRead, text::kLoggingMessage, text::kOK, {}, this);
    alert->setObjectName("pleaseReadAlert");
    alert->show();
  }
}

void KstSettingsViewController::openDocumentation() {
  // The page is installed with the application; only a page on another
  // server needs the network.
  const bool local = context().documentationUrl.isLocalFile();
  const int status = local ? Reachability::kReachableViaWiFi
                           : (context().reachabilityStatus ? context().reachabilityStatus() : 0);
  if (status == Reachability::kNotReachable) {
    auto* alert = new uikit::Alert(text::kNoInternetTitle, text::kNoInternetMessage, text::kOk, {}, this);
    alert->setObjectName("noInternetAlert");
    alert->show();
    return;
  }
  navigationStack()->push(new KstWebViewController(context()));
}

void KstSettingsViewController::confirmDeleteAll() {
  auto* alert =
      new uikit::Alert(text::kDeleteAllRules, text::kReallyDeleteAll, text::kCancel, {text::kYes}, this);
  alert->setObjectName("deleteAllAlert");
  alert->setTag(text::kDeleteAllTag);
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this, alert](int index) {
    if (index != 1 || alert->tag() != text::kDeleteAllTag) return;
    model_.deleteAll();
    showStates();
  });
  alert->show();
}

}  // namespace kst::panel
