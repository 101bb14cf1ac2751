#include "panel/ui/KstRuleListViewController.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

#include "panel/ui/KstImportViewControllers.h"
#include "panel/ui/PanelStyle.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Alert.h"
#include "platform/uikit/TableRow.h"
#include "platform/uikit/UIColors.h"

namespace kst::panel {

KstRuleListViewController* KstRuleListViewController::global(PanelContext& context, bool isDeny) {
  return new KstRuleListViewController(context, isDeny, std::nullopt,
                                       isDeny ? text::kGlobalDeny : text::kGlobalAllow);
}

KstRuleListViewController* KstRuleListViewController::forApp(PanelContext& context, bool isDeny,
                                                             const std::string& bundleIdentifier,
                                                             const std::string& /*displayName*/) {
  return new KstRuleListViewController(context, isDeny, bundleIdentifier,
                                       isDeny ? text::kAlwaysDeny : text::kAlwaysAllow);
}

KstRuleListViewController::KstRuleListViewController(PanelContext& context, bool isDeny,
                                                     std::optional<std::string> bundleIdentifier,
                                                     const QString& title)
    : KstScreen(context, "ruleListScreen", title, true, false, true),
      model_(context.store, isDeny, bundleIdentifier),
      isGlobal_(!bundleIdentifier) {
  connect(navBar()->editButton(), &QAbstractButton::clicked, this, &KstRuleListViewController::setEditMode);
  searchBar_ = new uikit::SearchField(content());
  contentLayout()->addWidget(searchBar_);
  connect(searchBar_, &QLineEdit::textChanged, this, &KstRuleListViewController::filterContentForSearchText);

  // The sort selector: joined buttons, the chosen one highlighted.
  auto* selector = new QWidget(content());
  selector->setFixedHeight(44);
  auto* cap = new QHBoxLayout(selector);
  cap->setContentsMargins(10, 6, 10, 7);
  cap->setSpacing(0);
  const char* titles[kSortCount] = {text::kSortName, text::kSortDate, text::kSortLastUsed};
  const char* names[kSortCount] = {"sortByNameButton", "sortByDateButton", "sortByLastUseButton"};
  for (int tag = 0; tag < kSortCount; ++tag) {
    auto* b = new QPushButton(titles[tag], selector);
    b->setObjectName(names[tag]);
    b->setAccessibleName(QString("Sort by ") + titles[tag]);
    b->setFixedSize(100, 31);
    b->setCheckable(true);
    b->setFont(titleFont(15, 15));
    b->setStyleSheet(
        "QPushButton { color: rgb(161,176,176); background: white; border: 1px solid rgb(161,176,176); }"
        "QPushButton:checked { color: white; background: rgb(161,176,176); }");
    connect(b, &QPushButton::clicked, this, [this, tag] { capButtonPressed(tag); });
    sortButtons_[tag] = b;
    cap->addWidget(b);
  }
  sortButtons_[0]->setChecked(true);
  sortButtons_[0]->setEnabled(false);
  contentLayout()->addWidget(selector);

  auto* addRow = new uikit::TableRow(text::kAddHostname, text::kConsultHelp, content());
  addRow->setObjectName("addRuleRow");
  addRow->setIcon(rowImage(RowImage::kAdd));
  connect(addRow, &uikit::TableRow::tapped, this, &KstRuleListViewController::add);
  contentLayout()->addWidget(addRow);
  if (isGlobal_) {
    auto* importRow = new uikit::TableRow(text::kImportDeleteAll, text::kPleaseBeCareful, content());
    importRow->setObjectName("importDeleteRow");
    importRow->setIcon(rowImage(RowImage::kImport));
    connect(importRow, &uikit::TableRow::tapped, this, &KstRuleListViewController::importOrDeleteAll);
    contentLayout()->addWidget(importRow);
  }
  contentLayout()->addWidget(new uikit::SectionGap(3, content()));

  table_ = new uikit::TableView(content());
  table_->setAccessibleName("Rules");
  tableModel_ = new RulesTableModel(model_, this);
  tableModel_->onRetype = [this](std::size_t index, const QString& typed) {
    model_.retype(index, typed.toStdString());
  };
  table_->setModel(tableModel_);
  auto* delegate = new KstRuleCellDelegate(table_, table_);
  table_->setItemDelegate(delegate);
  connect(delegate, &QAbstractItemDelegate::closeEditor, this,
          [this] { navBar()->changeEditButtonVisibility(true); });
  contentLayout()->addWidget(table_, 1);
  connect(table_, &uikit::TableView::rowTapped, this, &KstRuleListViewController::rowTapped);
  connect(table_, &uikit::TableView::deleteRequested, this, &KstRuleListViewController::deleteRow);
}

void KstRuleListViewController::viewWillAppear() {
  model_.reload();
  filterContentForSearchText(searchBar_->text());
  if (isGlobal_) showHelpAlert();
}

void KstRuleListViewController::reloadTable() {
  if (tableModel_->filtered()) {
    tableModel_->showOnly(model_.filter(searchBar_->text().toStdString()));
  } else {
    tableModel_->refresh();
  }
}

void KstRuleListViewController::filterContentForSearchText(const QString& typed) {
  if (typed.isEmpty()) {
    tableModel_->showAll();
  } else {
    tableModel_->showOnly(model_.filter(typed.toStdString()));
  }
}

void KstRuleListViewController::showHelpAlert() {
  const RuleListModel::Help help = model_.helpAlert();
  if (help == RuleListModel::Help::kNone) return;
  auto* alert =
      new uikit::Alert(text::kGlobalAllow,
                       help == RuleListModel::Help::kWithAllowed ? text::kHelpMessageA : text::kHelpMessageB,
                       text::kDismiss, {text::kHideAlert}, this);
  alert->setObjectName("helpAlert");
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this](int index) {
    if (index != 0) model_.hideHelp();
  });
  alert->show();
}

namespace {

// The "Keep for" choices offered for a new rule, in their order.
constexpr RuleListModel::KeepFor kKeepChoices[] = {
    RuleListModel::KeepFor::kAlways, RuleListModel::KeepFor::kOneHour, RuleListModel::KeepFor::kOneDay,
    RuleListModel::KeepFor::kOneWeek};

QStringList keepChoiceTitles() {
  return {text::kKeepAlways, text::kKeepOneHour, text::kKeepOneDay, text::kKeepOneWeek};
}

}  // namespace

void KstRuleListViewController::add() {
  auto* alert = new uikit::Alert(isGlobal_ ? text::kCreateGlobalRule : text::kCreateRule,
                                 isGlobal_ ? "\n\n" : "", text::kCancel, {text::kOK}, this);
  alert->setObjectName("addRuleAlert");
  alert->setTag(9999);
  QLineEdit* field = alert->addTextField();
  field->setPlaceholderText(text::kDomainPlaceholder);
  field->setClearButtonEnabled(true);
  field->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
  QComboBox* keep = alert->addChoice(text::kKeepFor, keepChoiceTitles());
  connect(field, &QLineEdit::returnPressed, alert, [alert] { alert->dismissWithButtonIndex(1); });
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this, field, keep](int index) {
    if (index != 1) return;
    const auto choice = static_cast<std::size_t>(std::max(0, keep->currentIndex()));
    const auto expires = model_.expiryFor(kKeepChoices[std::min(choice, std::size(kKeepChoices) - 1)]);
    if (const auto row = model_.add(field->text().toStdString(), expires)) {
      reloadTable();
      if (!tableModel_->filtered()) table_->scrollTo(tableModel_->index(static_cast<int>(*row)));
    }
  });
  alert->show();
}

void KstRuleListViewController::editRule(int row) {
  if (row < 0 || row >= tableModel_->rowCount()) return;
  const std::size_t at = tableModel_->ruleIndex(row);
  if (at >= model_.rules().size()) return;
  const RuleEntry& entry = model_.rules()[at];
  const QLocale locale;
  auto* alert =
      new uikit::Alert(text::kEditRule, ruleUsageText(entry.use, locale), text::kCancel, {text::kSave}, this);
  alert->setObjectName("editRuleAlert");
  QLineEdit* field = alert->addTextField();
  field->setText(QString::fromStdString(entry.rule));
  field->setClearButtonEnabled(true);
  field->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
  // A rule that expires offers to leave its expiry as it is, first.
  QStringList titles = keepChoiceTitles();
  const bool expires = entry.expires.has_value();
  if (expires) titles.prepend(QString(text::kKeepUntil).arg(ruleDateText(*entry.expires, locale)));
  QComboBox* keep = alert->addChoice(text::kKeepFor, titles);
  connect(field, &QLineEdit::returnPressed, alert, [alert] { alert->dismissWithButtonIndex(1); });
  const std::string rule = entry.rule;
  connect(
      alert, &uikit::Alert::dismissedWithButtonIndex, this, [this, field, keep, expires, rule](int index) {
        if (index != 1) return;
        // The list may have been reloaded while the alert was up: find the rule again.
        const auto& rules = model_.rules();
        const auto it =
            std::find_if(rules.begin(), rules.end(), [&rule](const RuleEntry& e) { return e.rule == rule; });
        if (it == rules.end()) return;
        int choice = keep->currentIndex();
        RuleListModel::KeepFor how = RuleListModel::KeepFor::kUnchanged;
        if (expires) --choice;
        if (choice >= 0 && choice < static_cast<int>(std::size(kKeepChoices))) {
          how = kKeepChoices[static_cast<std::size_t>(choice)];
        }
        if (!model_.edit(static_cast<std::size_t>(it - rules.begin()), field->text().toStdString(), how))
          return;
        model_.setSort(model_.sort());
        reloadTable();
      });
  alert->show();
}

void KstRuleListViewController::rowTapped(int row) {
  if (!table_->isEditing()) {
    editRule(row);
    return;
  }
  const QModelIndex index = tableModel_->index(row);
  const QRect rect = table_->visualRect(index);
  if (KstRuleCellDelegate::deleteControlRect(rect)
          .adjusted(-6, -6, 6, 6)
          .contains(table_->lastTapPosition())) {
    deleteRow(row);
    return;
  }
  navBar()->changeEditButtonVisibility(false);
  table_->edit(index);
}

void KstRuleListViewController::deleteRow(int row) {
  if (row < 0 || row >= tableModel_->rowCount()) return;
  model_.removeAt(tableModel_->ruleIndex(row));
  reloadTable();
}

void KstRuleListViewController::capButtonPressed(int tag) {
  if (tag < 0 || tag >= kSortCount) return;
  for (int i = 0; i < kSortCount; ++i) {
    sortButtons_[i]->setChecked(i == tag);
    sortButtons_[i]->setEnabled(i != tag);
  }
  // Sorting ends any search; only the list by name has the search bar.
  searchBar_->clear();
  searchBar_->setVisible(tag == 0);
  if (tag == 2) {
    model_.setSort(RuleSort::kLastUsed);
  } else {
    model_.setSortByDate(tag == 1);
  }
  reloadTable();
}

void KstRuleListViewController::setEditMode() {
  if (model_.takeEditAlert()) {
    (new uikit::Alert(text::kEditModeTitle, text::kEditModeMessage, text::kOK, {}, this))->show();
  }
  const bool entering = !table_->isEditing();
  table_->setEditing(entering);
  navBar()->editButton()->setGlyph(entering ? uikit::GlyphButton::Glyph::kAccept
                                            : uikit::GlyphButton::Glyph::kEdit);
  navBar()->editButton()->setAccessibleName(entering ? "Done" : "Edit");
}

void KstRuleListViewController::importOrDeleteAll() {
  auto* alert = new uikit::Alert(text::kImportDeleteTitle, text::kImportDeleteMessage, text::kCancel,
                                 {text::kImport, text::kDelete}, this);
  alert->setObjectName("importDeleteAlert");
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this](int index) {
    if (index == 1) {
      navigationStack()->push(new KstGlobalImportViewController(this->context(), model_.isDeny()));
    } else if (index == 2) {
      auto* confirm = new uikit::Alert(text::kDeleteAllRulesQ, text::kDeleteAllRulesInList, text::kCancel,
                                       {text::kOK}, this);
      confirm->setObjectName("deleteAllRulesAlert");
      connect(confirm, &uikit::Alert::dismissedWithButtonIndex, this, [this](int answer) {
        if (answer != 1) return;
        model_.deleteAll();
        reloadTable();
      });
      confirm->show();
    }
  });
  alert->show();
}

}  // namespace kst::panel
