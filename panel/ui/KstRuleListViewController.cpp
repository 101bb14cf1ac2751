#include "panel/ui/KstRuleListViewController.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

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

  // The sort selector: two joined buttons, the chosen one highlighted.
  auto* selector = new QWidget(content());
  selector->setFixedHeight(44);
  auto* cap = new QHBoxLayout(selector);
  cap->setContentsMargins(54, 6, 54, 7);
  cap->setSpacing(0);
  const char* titles[] = {text::kSortName, text::kSortDate};
  for (int tag = 0; tag < 2; ++tag) {
    auto* b = new QPushButton(titles[tag], selector);
    b->setObjectName(tag == 0 ? "sortByNameButton" : "sortByDateButton");
    b->setAccessibleName(QString("Sort by ") + titles[tag]);
    b->setFixedSize(106, 31);
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

void KstRuleListViewController::add() {
  auto* alert = new uikit::Alert(isGlobal_ ? text::kCreateGlobalRule : text::kCreateRule,
                                 isGlobal_ ? "\n\n" : "", text::kCancel, {text::kOK}, this);
  alert->setObjectName("addRuleAlert");
  alert->setTag(9999);
  QLineEdit* field = alert->addTextField();
  field->setPlaceholderText(text::kDomainPlaceholder);
  field->setClearButtonEnabled(true);
  field->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
  connect(field, &QLineEdit::returnPressed, alert, [alert] { alert->dismissWithButtonIndex(1); });
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this, field](int index) {
    if (index != 1) return;
    if (const auto row = model_.add(field->text().toStdString())) {
      reloadTable();
      if (!tableModel_->filtered()) table_->scrollTo(tableModel_->index(static_cast<int>(*row)));
    }
  });
  alert->show();
}

void KstRuleListViewController::rowTapped(int row) {
  if (!table_->isEditing()) return;
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
  const bool byDate = tag == 1;
  for (int i = 0; i < 2; ++i) {
    sortButtons_[i]->setChecked(i == tag);
    sortButtons_[i]->setEnabled(i != tag);
  }
  // Sorting ends any search; by date there is no search bar.
  searchBar_->clear();
  searchBar_->setVisible(!byDate);
  model_.setSortByDate(byDate);
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
