#include "panel/ui/KstAppViewController.h"

#include <QVBoxLayout>

#include "panel/ui/KstRuleListViewController.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/TableRow.h"

namespace kst::panel {

KstAppViewController::KstAppViewController(PanelContext& context, std::string bundleIdentifier,
                                           std::string displayName)
    : KstScreen(context, "appScreen", QString::fromStdString(displayName), true, false, false),
      bundleID_(std::move(bundleIdentifier)),
      displayName_(std::move(displayName)),
      model_(context.store, bundleID_) {
  enabledSwitch_ = new uikit::Switch(navBar());
  enabledSwitch_->setObjectName("enabledSwitch");
  enabledSwitch_->setAccessibleName("Enabled");
  enabledSwitch_->setOn(model_.switches().enabled);
  const QSize s = enabledSwitch_->sizeHint();
  navBar()->placeButton(enabledSwitch_,
                        QRect(280 - s.width() / 2, 40 - s.height() / 2, s.width(), s.height()));
  connect(enabledSwitch_, &uikit::Switch::valueChanged, this, [this](bool on) { model_.setEnabled(on); });

  allowAll_ = addSwitchRow(text::kAllowAllConnections, QString(), "allowAllSwitch");
  denyAll_ = addSwitchRow(text::kDenyAllConnections, QString(), "denyAllSwitch");
  stillApply_ =
      addSwitchRow(text::kStillApplyDetailedRules, text::kAppliesAllRulesSetBelow, "stillApplySwitch");
  contentLayout()->addWidget(new uikit::SectionGap(6, content()));
  blockWiFi_ = addSwitchRow(text::kBlockIfNotOnWiFi, text::kSavesMobileData, "blockWiFiSwitch");
  contentLayout()->addWidget(new uikit::SectionGap(6, content()));
  connect(allowAll_, &uikit::Switch::valueChanged, this, [this](bool on) {
    model_.allowAllChanged(on);
    showSwitches();
  });
  connect(denyAll_, &uikit::Switch::valueChanged, this, [this](bool on) {
    model_.denyAllChanged(on);
    showSwitches();
  });
  connect(stillApply_, &uikit::Switch::valueChanged, this, [this](bool on) { model_.stillApplyChanged(on); });
  connect(blockWiFi_, &uikit::Switch::valueChanged, this, [this](bool on) { model_.blockWiFiChanged(on); });

  const struct {
    const char* title;
    const char* under;
    const char* name;
    bool isDeny;
  } lists[] = {{text::kAlwaysAllowRules, text::kConnectionsAllowed, "allowRulesRow", false},
               {text::kAlwaysDenyRules, text::kConnectionsBlocked, "denyRulesRow", true}};
  for (const auto& l : lists) {
    auto* row = new uikit::TableRow(l.title, l.under, content());
    row->setObjectName(l.name);
    row->setShowsDisclosure(true);
    const bool isDeny = l.isDeny;
    connect(row, &uikit::TableRow::tapped, this, [this, isDeny] {
      navigationStack()->push(
          KstRuleListViewController::forApp(this->context(), isDeny, bundleID_, displayName_));
    });
    contentLayout()->addWidget(row);
  }
  contentLayout()->addStretch(1);
  // Until the first display loads them, the row switches stay locked.
  for (uikit::Switch* sw : {allowAll_, denyAll_, stillApply_, blockWiFi_}) sw->setEnabled(false);
}

uikit::Switch* KstAppViewController::addSwitchRow(const QString& title, const QString& under,
                                                  const QString& name) {
  auto* row = new uikit::TableRow(title, under, content());
  row->setObjectName(name + "Row");
  row->setHighlights(false);
  auto* sw = new uikit::Switch;
  sw->setObjectName(name);
  sw->setAccessibleName(title);
  sw->setAccessibleDescription(under);
  row->setAccessory(sw);
  contentLayout()->addWidget(row);
  return sw;
}

void KstAppViewController::viewDidAppear() {
  if (once_) return;
  once_ = true;
  model_.load();
  blockWiFi_->setEnabled(true);
  showSwitches();
}

void KstAppViewController::showSwitches() {
  const AppSwitches& s = model_.switches();
  allowAll_->setOn(s.allowAll, true);
  allowAll_->setEnabled(s.allowAllEnabled);
  denyAll_->setOn(s.denyAll, true);
  denyAll_->setEnabled(s.denyAllEnabled);
  stillApply_->setOn(s.stillUseRules, true);
  stillApply_->setEnabled(s.stillUseRulesEnabled);
  blockWiFi_->setOn(s.blockWiFi);
  enabledSwitch_->setOn(s.enabled);
}

}  // namespace kst::panel
