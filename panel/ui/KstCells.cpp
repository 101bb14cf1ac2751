#include "panel/ui/KstCells.h"

#include <QAbstractItemView>
#include <QDateTime>
#include <QLineEdit>
#include <QPainter>

#include "panel/ui/PanelStyle.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/TableRow.h"
#include "platform/uikit/TableView.h"
#include "platform/uikit/UIColors.h"

namespace kst::panel {

namespace {

// Seconds between 1970 and the platform's reference date, 2001-01-01 UTC.
constexpr double kReferenceDateUnix = 978307200.0;

void paintRowBackground(QPainter* p, const QStyleOptionViewItem& option, bool highlights) {
  const bool pressed =
      highlights && (option.state & QStyle::State_Selected) && (option.state & QStyle::State_Sunken);
  p->fillRect(option.rect, pressed ? QColor(217, 217, 217) : QColor(255, 255, 255));
  p->fillRect(QRect(option.rect.left(), option.rect.bottom(), option.rect.width(), 1), QColor(236, 238, 238));
}

}  // namespace

QString ruleDateText(const plist::Date& date, const QLocale& locale) {
  if (!std::isfinite(date.secondsSinceReference)) return QString();
  const double unix = date.secondsSinceReference + kReferenceDateUnix;
  if (std::abs(unix) > 1e13) return QString();
  const QDateTime when = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(unix * 1000));
  // Medium date and medium time, in the current locale.
  return locale.toString(when.date(), QLocale::ShortFormat) + ", " +
         locale.toString(when.time(), QLocale::LongFormat).section(' ', 0, 0);
}

QString ruleUsageText(const std::optional<RuleUse>& use, const QLocale& locale) {
  if (!use || use->count == 0) return text::kNeverUsed;
  const QString last = ruleDateText(use->last, locale);
  if (use->count == 1) return QString(text::kUsedOnce).arg(last);
  return QString(text::kUsedTimes).arg(QString::number(use->count), last);
}

void AppsTableModel::setApps(std::vector<AppEntry> apps) {
  beginResetModel();
  apps_ = std::move(apps);
  endResetModel();
}

void AppsTableModel::iconChanged(const QString& bundleIdentifier) {
  const std::string id = bundleIdentifier.toStdString();
  for (std::size_t i = 0; i < apps_.size(); ++i) {
    if (apps_[i].bundleIdentifier == id) {
      const QModelIndex at = index(static_cast<int>(i));
      emit dataChanged(at, at, {Qt::DecorationRole});
    }
  }
}

int AppsTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(apps_.size());
}

QVariant AppsTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const AppEntry& app = apps_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
      return QString::fromStdString(app.displayName.value_or(app.bundleIdentifier));
    case kSubtitleRole:
    case kIdentifierRole:
    case Qt::AccessibleDescriptionRole:
      return QString::fromStdString(app.bundleIdentifier);
    case Qt::DecorationRole:
      return icon_(app);
    case kDisclosureRole:
      return disclosure_;
    default:
      return {};
  }
}

RulesTableModel::RulesTableModel(const RuleListModel& rules, QObject* parent)
    : QAbstractListModel(parent), rules_(rules) {}

void RulesTableModel::showAll() {
  beginResetModel();
  filtered_ = false;
  shown_.clear();
  endResetModel();
}

void RulesTableModel::showOnly(std::vector<std::size_t> indexes) {
  beginResetModel();
  filtered_ = true;
  shown_ = std::move(indexes);
  endResetModel();
}

void RulesTableModel::refresh() {
  beginResetModel();
  endResetModel();
}

std::size_t RulesTableModel::ruleIndex(int row) const {
  return filtered_ ? shown_.at(static_cast<std::size_t>(row)) : static_cast<std::size_t>(row);
}

int RulesTableModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(filtered_ ? shown_.size() : rules_.rules().size());
}

QVariant RulesTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const std::size_t at = ruleIndex(index.row());
  if (at >= rules_.rules().size()) return {};
  const RuleEntry& e = rules_.rules()[at];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole:
      return QString::fromStdString(e.rule);
    case kSubtitleRole:
    case Qt::AccessibleDescriptionRole:
      // Sorted by last use, the row says what the rule has done.
      if (rules_.sort() == RuleSort::kLastUsed) return ruleUsageText(e.use, locale_);
      return e.date ? ruleDateText(*e.date, locale_) : QString();
    default:
      return {};
  }
}

Qt::ItemFlags RulesTableModel::flags(const QModelIndex& index) const {
  return QAbstractListModel::flags(index) | Qt::ItemIsEditable;
}

bool RulesTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || !onRetype) return false;
  onRetype(ruleIndex(index.row()), value.toString());
  emit dataChanged(index, index);
  return true;
}

void KstAppCellDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  p->save();
  paintRowBackground(p, option, true);
  const QRect r = option.rect;
  const QImage icon = index.data(Qt::DecorationRole).value<QImage>();
  if (!icon.isNull()) {
    const QSize s = icon.size().scaled(29, 29, Qt::KeepAspectRatio);
    p->setRenderHint(QPainter::SmoothPixmapTransform);
    p->drawImage(QRect(r.x() + 26 - s.width() / 2, r.y() + 25 - s.height() / 2, s.width(), s.height()), icon);
  }
  const bool disclosure = index.data(kDisclosureRole).toBool();
  const int textWidth = r.width() - 55 - (disclosure ? 34 : 12);
  const QFont title = titleFont(15, 14);
  const QFont second = lightFont(13, 13);
  const QFontMetrics tm(title), sm(second);
  p->setFont(title);
  p->setPen(uikit::cellText());
  const int th = tm.height();
  p->drawText(makeRoundedRect(r.x() + 55, r.y() + (50 - th - 12) / 2.0, textWidth, th),
              Qt::AlignLeft | Qt::AlignVCenter,
              tm.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textWidth));
  const QString under = index.data(kSubtitleRole).toString();
  if (!under.isEmpty()) {
    p->setFont(second);
    p->setPen(QColor(120, 128, 128));
    const int sh = sm.height();
    p->drawText(makeRoundedRect(r.x() + 55, r.y() + (50 - sh) / 2.0 + 8, textWidth, sh),
                Qt::AlignLeft | Qt::AlignVCenter, sm.elidedText(under, Qt::ElideMiddle, textWidth));
  }
  if (disclosure) uikit::paintDisclosure(*p, r);
  p->restore();
}

QSize KstAppCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return {320, uikit::kRowHeight};
}

bool KstRuleCellDelegate::editing() const {
  const auto* table = qobject_cast<const uikit::TableView*>(view_);
  return table != nullptr && table->isEditing();
}

void KstRuleCellDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
  p->save();
  paintRowBackground(p, option, false);
  const QRect r = option.rect;
  const bool edit = editing();
  if (edit) {
    p->setRenderHint(QPainter::Antialiasing);
    const QRect c = deleteControlRect(r);
    p->setPen(Qt::NoPen);
    p->setBrush(QColor(230, 60, 60));
    p->drawEllipse(c);
    p->setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap));
    p->drawLine(c.left() + 6, c.center().y() + 1, c.right() - 5, c.center().y() + 1);
  }
  const int x = r.x() + (edit ? 40 : 16);
  const int width = edit ? 256 : 296;
  QFont title = titleFont(15, 14);
  // A rule wider than its field shrinks to fit, down to a readable size.
  const QString text = index.data(Qt::DisplayRole).toString();
  while (QFontMetrics(title).horizontalAdvance(text) > width && title.pixelSize() > 9) {
    title.setPixelSize(title.pixelSize() - 1);
  }
  p->setFont(title);
  p->setPen(uikit::cellText());
  p->drawText(QRect(x, r.y() + 7, width, 22), Qt::AlignLeft | Qt::AlignVCenter,
              QFontMetrics(title).elidedText(text, Qt::ElideRight, width));
  const QString under = index.data(kSubtitleRole).toString();
  if (!under.isEmpty()) {
    const QFont second = lightFont(13, 13);
    p->setFont(second);
    p->setPen(QColor(120, 128, 128));
    const int sh = QFontMetrics(second).height();
    p->drawText(makeRoundedRect(x + 2, r.y() + (50 - sh) / 2.0 + 12, width, sh),
                Qt::AlignLeft | Qt::AlignVCenter, under);
  }
  p->restore();
}

QSize KstRuleCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return {320, uikit::kRowHeight};
}

QWidget* KstRuleCellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                           const QModelIndex&) const {
  if (!editing()) return nullptr;  // the text is editable only in edit mode
  auto* field = new QLineEdit(parent);
  field->setObjectName("ruleTextField");
  field->setAccessibleName("Rule");
  field->setFrame(false);
  field->setFont(titleFont(15, 14));
  field->setStyleSheet("QLineEdit { color: rgb(98,111,111); background: rgb(250,250,250); }");
  return field;
}

void KstRuleCellDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                               const QModelIndex&) const {
  editor->setGeometry(option.rect.x() + 40, option.rect.y() + 9, 256, 22);
}

void KstFileCellDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
  p->save();
  paintRowBackground(p, option, true);
  const QFont f = titleFont(15, 14);
  p->setFont(f);
  p->setPen(uikit::cellText());
  const QRect r = option.rect.adjusted(12, 0, -12, 0);
  p->drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
              QFontMetrics(f).elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, r.width()));
  p->restore();
}

QSize KstFileCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return {320, uikit::kRowHeight};
}

}  // namespace kst::panel
