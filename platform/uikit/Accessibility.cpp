#include "platform/uikit/Accessibility.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHash>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QPushButton>
#include <vector>

#include "platform/uikit/Alert.h"
#include "platform/uikit/GlyphButton.h"
#include "platform/uikit/SegmentedControl.h"
#include "platform/uikit/Switch.h"
#include "platform/uikit/TableRow.h"
#include "platform/uikit/TableView.h"

namespace kst::uikit {

namespace {

// The action that removes a row, as its context menu and the Delete key do.
const QString& deleteAction() {
  static const QString name = QStringLiteral("Delete");
  return name;
}

bool blockedByModal(const QWidget* window) {
  const QWidget* modal = QApplication::activeModalWidget();
  if (modal == nullptr || modal == window) return false;
  if (modal->windowModality() == Qt::ApplicationModal) return true;
  const QWidget* owner = modal->parentWidget();
  return owner != nullptr && owner->window() == window;
}

// An interface of its own for a part of a widget that is no widget itself
// (a segment, a table row): the owner's interface creates, numbers and
// deletes it.
class PartAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  explicit PartAccessible(QWidget* owner) : owner_(owner) {}

  QObject* object() const override { return nullptr; }
  QWindow* window() const override {
    return owner_ != nullptr && owner_->window() != nullptr ? owner_->window()->windowHandle() : nullptr;
  }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(owner_); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  void setText(QAccessible::Text, const QString&) override {}
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 protected:
  QRect globalRect(const QRect& local) const {
    if (owner_ == nullptr || local.isEmpty()) return {};
    return QRect(owner_->mapToGlobal(local.topLeft()), local.size());
  }

  QPointer<QWidget> owner_;
};

// Numbers and keeps the part interfaces of one widget's interface.
class PartRegistry {
 public:
  ~PartRegistry() { clear(); }

  // The part at `key`, made by `make` unless a valid one is kept.
  template <typename Make>
  QAccessibleInterface* get(int key, Make make) {
    if (const QAccessible::Id id = ids_.value(key)) {
      if (QAccessibleInterface* kept = QAccessible::accessibleInterface(id);
          kept != nullptr && kept->isValid())
        return kept;
      QAccessible::deleteAccessibleInterface(id);
      ids_.remove(key);
    }
    QAccessibleInterface* part = make();
    ids_.insert(key, QAccessible::registerAccessibleInterface(part));
    return part;
  }
  void drop(int key) {
    if (const QAccessible::Id id = ids_.take(key)) QAccessible::deleteAccessibleInterface(id);
  }
  int keyOf(const QAccessibleInterface* part) const {
    for (auto it = ids_.cbegin(); it != ids_.cend(); ++it)
      if (QAccessible::accessibleInterface(it.value()) == part) return it.key();
    return -1;
  }
  void clear() {
    for (const QAccessible::Id id : std::as_const(ids_)) QAccessible::deleteAccessibleInterface(id);
    ids_.clear();
  }

 private:
  QHash<int, QAccessible::Id> ids_;
};

// ---- Segmented control ------------------------------------------------

class SegmentAccessible final : public PartAccessible {
 public:
  SegmentAccessible(SegmentedControl* control, int index) : PartAccessible(control), index_(index) {}

  bool isValid() const override { return control() != nullptr && index_ < control()->numberOfSegments(); }
  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) return control()->segmentTitles().value(index_);
    if (t == QAccessible::Description) return control()->accessibleName();
    return {};
  }
  QRect rect() const override { return isValid() ? globalRect(control()->segmentRect(index_)) : QRect(); }
  QAccessible::Role role() const override {
    // Several segments selected at once read as toggle buttons, one of
    // several as radio buttons.
    return control() != nullptr && control()->selectsSeveral() ? QAccessible::CheckBox
                                                               : QAccessible::RadioButton;
  }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) {
      s.invalid = true;
      return s;
    }
    s.checkable = true;
    s.checked = control()->isSegmentSelected(index_);
    s.focusable = true;
    s.focused = control()->hasFocus() && control()->focusedSegment() == index_;
    s.disabled = !control()->isEnabled();
    s.invisible = !control()->isVisible();
    return s;
  }
  QStringList actionNames() const override {
    return control() != nullptr && control()->selectsSeveral() ? QStringList{pressAction(), toggleAction()}
                                                               : QStringList{pressAction()};
  }
  void doAction(const QString& name) override {
    if (!isValid() || !reachableByTouch(control())) return;
    if (name == pressAction() || (name == toggleAction() && control()->selectsSeveral()))
      control()->tapSegment(index_);
  }

 private:
  SegmentedControl* control() const { return static_cast<SegmentedControl*>(owner_.data()); }

  int index_;
};

class SegmentedControlAccessible final : public QAccessibleWidget {
 public:
  explicit SegmentedControlAccessible(SegmentedControl* control)
      : QAccessibleWidget(control, QAccessible::Grouping) {}

  int childCount() const override { return control()->numberOfSegments(); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    return parts_.get(index, [&] { return new SegmentAccessible(control(), index); });
  }
  int indexOfChild(const QAccessibleInterface* child) const override { return parts_.keyOf(child); }
  QAccessibleInterface* childAt(int x, int y) const override {
    const int segment = control()->segmentAt(control()->mapFromGlobal(QPoint(x, y)));
    return segment == SegmentedControl::kNoSegment ? nullptr : child(segment);
  }
  QStringList actionNames() const override { return {setFocusAction()}; }

 private:
  SegmentedControl* control() const { return static_cast<SegmentedControl*>(widget()); }

  mutable PartRegistry parts_;
};

// ---- Switch -----------------------------------------------------------

class SwitchAccessible final : public QAccessibleWidget {
 public:
  explicit SwitchAccessible(Switch* control) : QAccessibleWidget(control, QAccessible::CheckBox) {}

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = control()->isOn();
    return s;
  }
  QStringList actionNames() const override { return {toggleAction(), pressAction(), setFocusAction()}; }
  void doAction(const QString& name) override {
    if (name != toggleAction() && name != pressAction()) {
      QAccessibleWidget::doAction(name);
      return;
    }
    // The click's own path, so the change is stored and announced as a
    // click stores and announces it.
    if (reachableByTouch(control())) control()->click();
  }

 private:
  Switch* control() const { return static_cast<Switch*>(widget()); }
};

// ---- Push buttons ---------------------------------------------------

// A button whose Press clicks it at once through the click's own path, and
// only when a tap could reach it (the prompt lets no touch through in its
// first moments; a screen being left is hidden).
class ButtonAccessible final : public QAccessibleWidget {
 public:
  explicit ButtonAccessible(QAbstractButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

  QString text(QAccessible::Text t) const override {
    QString out = QAccessibleWidget::text(t);
    if (out.isEmpty() && t == QAccessible::Name) {
      // "&&" shows one "&"; a single "&" marks the shortcut key.
      out = button()->text();
      out.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove(QLatin1Char('&'));
      out.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    }
    if (out.isEmpty() && t == QAccessible::Description) out = button()->toolTip();
    return out;
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = button()->isCheckable();
    s.checked = button()->isChecked();
    s.pressed = button()->isDown();
    return s;
  }
  QStringList actionNames() const override { return {pressAction(), setFocusAction()}; }
  void doAction(const QString& name) override {
    if (name != pressAction()) {
      QAccessibleWidget::doAction(name);
      return;
    }
    if (reachableByTouch(button())) button()->click();
  }

 private:
  QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
};

// ---- Table row (widget rows of the short tables) -----------------------

class TableRowAccessible final : public QAccessibleWidget {
 public:
  explicit TableRowAccessible(TableRow* row) : QAccessibleWidget(row, QAccessible::ListItem) {}

  QAccessible::Role role() const override {
    return row()->opensOnTap() ? QAccessible::Button : QAccessible::ListItem;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return row()->title();
    if (t == QAccessible::Description) return row()->subtitle();
    return QAccessibleWidget::text(t);
  }
  // The texts are the row's name and description; of its widgets only the
  // accessory (a switch) is a child of its own.
  int childCount() const override { return accessory() != nullptr ? 1 : 0; }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && accessory() != nullptr ? QAccessible::queryAccessibleInterface(accessory())
                                                : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && accessory() != nullptr && child->object() == accessory() ? 0 : -1;
  }
  QStringList actionNames() const override {
    return row()->opensOnTap() ? QStringList{pressAction(), setFocusAction()} : QStringList{setFocusAction()};
  }
  void doAction(const QString& name) override {
    if (name != pressAction()) {
      QAccessibleWidget::doAction(name);
      return;
    }
    if (reachableByTouch(row())) row()->tap();
  }

 private:
  TableRow* row() const { return static_cast<TableRow*>(widget()); }
  QWidget* accessory() const { return row()->accessory(); }
};

// ---- Table view (painted rows of the long lists) ------------------------

class TableViewRowAccessible final : public PartAccessible {
 public:
  TableViewRowAccessible(TableView* table, const QModelIndex& index) : PartAccessible(table), index_(index) {}

  bool isValid() const override { return table() != nullptr && index_.isValid(); }
  int row() const { return index_.row(); }
  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) {
      const QString text = index_.data(Qt::AccessibleTextRole).toString();
      return text.isEmpty() ? index_.data(Qt::DisplayRole).toString() : text;
    }
    if (t == QAccessible::Description) return index_.data(Qt::AccessibleDescriptionRole).toString();
    return {};
  }
  QRect rect() const override {
    if (!isValid()) return {};
    const QRect r = table()->visualRect(index_);
    return r.isEmpty() ? QRect() : QRect(table()->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) {
      s.invalid = true;
      return s;
    }
    s.selectable = true;
    s.focusable = true;
    s.selected = table()->selectionModel() != nullptr && table()->selectionModel()->isSelected(index_);
    s.focused = table()->hasFocus() && table()->currentIndex() == QModelIndex(index_);
    s.active = table()->currentIndex() == QModelIndex(index_);
    s.disabled = !table()->isEnabled();
    s.offscreen = !table()->viewport()->rect().intersects(table()->visualRect(index_));
    return s;
  }
  QStringList actionNames() const override {
    QStringList names{pressAction()};
    if (isValid() && table()->canDeleteRow(row())) names << deleteAction();
    return names;
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    if (name == pressAction()) return {QStringLiteral("Return")};
    if (name == deleteAction()) return {QStringLiteral("Delete")};
    return {};
  }
  void doAction(const QString& name) override {
    if (!isValid() || !reachableByTouch(table()->viewport())) return;
    if (name == pressAction()) {
      table()->tapRow(row());
    } else if (name == deleteAction()) {
      table()->requestDelete(row());
    }
  }

 private:
  TableView* table() const { return static_cast<TableView*>(owner_.data()); }

  QPersistentModelIndex index_;
};

class TableViewAccessible final : public QAccessibleWidget {
 public:
  explicit TableViewAccessible(TableView* table) : QAccessibleWidget(table, QAccessible::List) {}

  int childCount() const override { return model() != nullptr ? model()->rowCount(table()->rootIndex()) : 0; }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    const QModelIndex at = model()->index(index, table()->modelColumn(), table()->rootIndex());
    QAccessibleInterface* part = parts_.get(index, [&] { return new TableViewRowAccessible(table(), at); });
    // A row that moved (rows removed or inserted above it) is made anew.
    if (static_cast<TableViewRowAccessible*>(part)->row() != index) {
      parts_.drop(index);
      part = parts_.get(index, [&] { return new TableViewRowAccessible(table(), at); });
    }
    return part;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child == nullptr || parts_.keyOf(child) < 0) return -1;
    return static_cast<const TableViewRowAccessible*>(child)->row();
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    const QModelIndex at = table()->indexAt(table()->viewport()->mapFromGlobal(QPoint(x, y)));
    return at.isValid() ? child(at.row()) : nullptr;
  }

 private:
  TableView* table() const { return static_cast<TableView*>(widget()); }
  QAbstractItemModel* model() const { return table()->model(); }

  mutable PartRegistry parts_;
};

// ---- Alert ------------------------------------------------------------

class AlertAccessible final : public QAccessibleWidget {
 public:
  explicit AlertAccessible(Alert* alert) : QAccessibleWidget(alert, QAccessible::AlertMessage) {}

  QString text(QAccessible::Text t) const override {
    const auto* alert = static_cast<const Alert*>(widget());
    if (t == QAccessible::Name) return alert->title();
    if (t == QAccessible::Description) return alert->message();
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* toolkitFactory(const QString& className, QObject* object) {
  if (className == QLatin1String(SegmentedControl::staticMetaObject.className()))
    return new SegmentedControlAccessible(static_cast<SegmentedControl*>(object));
  if (className == QLatin1String(Switch::staticMetaObject.className()))
    return new SwitchAccessible(static_cast<Switch*>(object));
  if (className == QLatin1String(TableRow::staticMetaObject.className()))
    return new TableRowAccessible(static_cast<TableRow*>(object));
  if (className == QLatin1String(TableView::staticMetaObject.className()))
    return new TableViewAccessible(static_cast<TableView*>(object));
  if (className == QLatin1String(QPushButton::staticMetaObject.className()) ||
      className == QLatin1String(GlyphButton::staticMetaObject.className()))
    return new ButtonAccessible(static_cast<QAbstractButton*>(object));
  if (className == QLatin1String(Alert::staticMetaObject.className()))
    return new AlertAccessible(static_cast<Alert*>(object));
  return nullptr;
}

}  // namespace

void installAccessibleInterfaces() {
  static const bool installed = [] {
    QAccessible::installFactory(toolkitFactory);
    return true;
  }();
  (void)installed;
}

bool reachableByTouch(const QWidget* widget) {
  // Bounds the walk through views showing scenes that show views.
  constexpr int kMaxNesting = 8;
  const QWidget* w = widget;
  for (int windows = 0; w != nullptr && windows < kMaxNesting;) {
    if (!w->isVisible() || !w->isEnabled() || w->testAttribute(Qt::WA_TransparentForMouseEvents))
      return false;
    if (!w->isWindow()) {
      w = w->parentWidget();
      continue;
    }
    ++windows;
    const QGraphicsProxyWidget* proxy = w->graphicsProxyWidget();
    if (proxy == nullptr) return !blockedByModal(w);
    if (!proxy->isVisible() || !proxy->isEnabled() || proxy->acceptedMouseButtons() == Qt::NoButton)
      return false;
    const QGraphicsScene* scene = proxy->scene();
    if (scene == nullptr || scene->views().isEmpty()) return false;
    w = scene->views().constFirst()->viewport();
  }
  return false;
}

}  // namespace kst::uikit
