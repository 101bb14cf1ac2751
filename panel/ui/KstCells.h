#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QImage>
#include <QLocale>
#include <QStyledItemDelegate>
#include <functional>
#include <vector>

#include "panel/store/Entries.h"
#include "panel/store/RuleListModel.h"

namespace kst::panel {

enum CellRole { kSubtitleRole = Qt::UserRole + 1, kIdentifierRole, kDisclosureRole };

// Application rows: title the display name (the identifier when there is
// none), second line the identifier, the icon from `icon`.
class AppsTableModel : public QAbstractListModel {
  Q_OBJECT

 public:
  using IconFor = std::function<QImage(const AppEntry&)>;
  AppsTableModel(IconFor icon, bool disclosure, QObject* parent = nullptr)
      : QAbstractListModel(parent), icon_(std::move(icon)), disclosure_(disclosure) {}

  void setApps(std::vector<AppEntry> apps);
  const std::vector<AppEntry>& apps() const { return apps_; }
  // Repaints the rows of an identifier (its icon arrived).
  void iconChanged(const QString& bundleIdentifier);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  IconFor icon_;
  bool disclosure_;
  std::vector<AppEntry> apps_;
};

// Rule rows of a rule list, or of its search results (`shown` indexes).
// A rule's date as its cell shows it (short date, time to the second, in
// `locale`); empty for a date no clock can show.
QString ruleDateText(const plist::Date& date, const QLocale& locale);
// "Used 10 times, last <date>", "Used once, last <date>" or "Never used".
QString ruleUsageText(const std::optional<RuleUse>& use, const QLocale& locale);

class RulesTableModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit RulesTableModel(const RuleListModel& rules, QObject* parent = nullptr);

  // Shows every rule (no filter) or the given indexes of the list.
  void showAll();
  void showOnly(std::vector<std::size_t> indexes);
  bool filtered() const { return filtered_; }
  // The index in the rule list of a row.
  std::size_t ruleIndex(int row) const;
  void refresh();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  // Retyping a rule in place: the row's rule-list index and the new text.
  std::function<void(std::size_t ruleIndex, const QString& text)> onRetype;

 private:
  const RuleListModel& rules_;
  std::vector<std::size_t> shown_;
  bool filtered_ = false;
  QLocale locale_;
};

// Paints the application cell: icon at the left, title above the middle,
// the second line below it; the chevron when the row opens a screen.
class KstAppCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// Paints the rule cell: the rule text, its date below; in edit mode a
// delete control at the left and the text editable in place.
class KstRuleCellDelegate : public QStyledItemDelegate {
 public:
  explicit KstRuleCellDelegate(class QAbstractItemView* view, QObject* parent = nullptr)
      : QStyledItemDelegate(parent), view_(view) {}
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;
  // The delete control of a row in edit mode.
  static QRect deleteControlRect(const QRect& row) { return QRect(row.x() + 8, row.y() + 14, 22, 22); }

 private:
  bool editing() const;
  QAbstractItemView* view_;
};

// Paints the file cell: the name at the left, vertically centred.
class KstFileCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace kst::panel
