#pragma once

#include <QPushButton>
#include <optional>

#include "panel/store/RuleListModel.h"
#include "panel/ui/KstCells.h"
#include "panel/ui/KstScreen.h"
#include "platform/uikit/SearchField.h"
#include "platform/uikit/TableView.h"

namespace kst::uikit {
class TableRow;
}

namespace kst::panel {

// A rule list screen: the global allow or deny list, or one application's
// allow or deny list. Rules are added through an alert, deleted with the
// row's delete action, retyped in place in edit mode, sorted by name, date
// or last use and searched. Tapping a rule outside edit mode opens its edit
// alert: its text, what it has done and how long it is kept. The global screen adds its help alert and the
// "Import | Delete All" row.
class KstRuleListViewController : public KstScreen {
  Q_OBJECT

 public:
  static KstRuleListViewController* global(PanelContext& context, bool isDeny);
  static KstRuleListViewController* forApp(PanelContext& context, bool isDeny,
                                           const std::string& bundleIdentifier,
                                           const std::string& displayName);

  void viewWillAppear() override;

  const RuleListModel& rules() const { return model_; }
  uikit::TableView* table() const { return table_; }
  bool isEditing() const { return table_->isEditing(); }

  void add();
  void setEditMode();
  void capButtonPressed(int tag);

 private:
  KstRuleListViewController(PanelContext& context, bool isDeny, std::optional<std::string> bundleIdentifier,
                            const QString& title);
  static constexpr int kSortCount = 3;

  void rowTapped(int row);
  void editRule(int row);
  void deleteRow(int row);
  void filterContentForSearchText(const QString& text);
  void reloadTable();
  void showHelpAlert();
  void importOrDeleteAll();

  RuleListModel model_;
  RulesTableModel* tableModel_;
  uikit::SearchField* searchBar_;
  uikit::TableView* table_;
  QPushButton* sortButtons_[kSortCount];
  bool isGlobal_;
};

}  // namespace kst::panel
