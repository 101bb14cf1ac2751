#include "panel/ui/KstImportViewControllers.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <ctime>

#include "panel/ui/KstCells.h"
#include "panel/ui/PanelStyle.h"
#include "panel/ui/PanelTexts.h"
#include "platform/uikit/Alert.h"
#include "platform/uikit/TableRow.h"

namespace kst::panel {

namespace {

QStringList toQt(const std::vector<std::string>& names) {
  QStringList out;
  for (const std::string& n : names) out << QString::fromStdString(n);
  return out;
}

uikit::TableView* fileTable(QWidget* parent, QStringListModel* model) {
  auto* table = new uikit::TableView(parent);
  table->setAccessibleName("Files");
  table->setModel(model);
  table->setItemDelegate(new KstFileCellDelegate(table));
  return table;
}

}  // namespace

KstImportExportViewController::KstImportExportViewController(PanelContext& context)
    : KstScreen(context, "importExportScreen", text::kImportExportTitle, true, false, false),
      io_(context.store) {
  auto* reloadButton = navBar()->addRightButton(uikit::GlyphButton::Glyph::kReload, "Reload");
  connect(reloadButton, &QAbstractButton::clicked, this, &KstImportExportViewController::reload);
  auto* top = new QWidget(content());
  top->setFixedHeight(132);
  auto* help = new QLabel(text::kExportHelp, top);
  help->setObjectName("exportHelp");
  help->setWordWrap(true);
  help->setAlignment(Qt::AlignCenter);
  help->setFont(lightFont(13, 12));
  help->setStyleSheet("color: rgb(98,111,111);");
  help->setGeometry(10, 4, 300, 88);
  auto* exportButton = new QPushButton(text::kExport, top);
  exportButton->setObjectName("exportButton");
  exportButton->setAccessibleName(text::kExport);
  exportButton->setGeometry(160 - 53, 112 - 16, 106, 31);
  exportButton->setFont(titleFont(15, 15));
  exportButton->setStyleSheet(
      "QPushButton { color: rgb(161,176,176); background: white; border: 1px solid rgb(161,176,176);"
      " border-radius: 4px; } QPushButton:pressed { color: white; background: rgb(161,176,176); }");
  connect(exportButton, &QPushButton::clicked, this, &KstImportExportViewController::exportSettings);
  contentLayout()->addWidget(top);
  contentLayout()->addWidget(new uikit::SectionGap(6, content()));
  content_ = new QStringListModel(this);
  table_ = fileTable(content(), content_);
  contentLayout()->addWidget(table_, 1);
  connect(table_, &uikit::TableView::rowTapped, this, &KstImportExportViewController::importRow);
  connect(table_, &uikit::TableView::deleteRequested, this, &KstImportExportViewController::deleteRow);
  reload();
}

void KstImportExportViewController::reload() {
  content_->setStringList(toQt(io_.settingsFiles()));
}

void KstImportExportViewController::exportSettings() {
  io_.exportAll(std::time(nullptr));
  reload();
}

void KstImportExportViewController::importRow(int row) {
  const QString filename = content_->index(row).data().toString();
  if (filename.isEmpty()) return;
  auto* alert = new uikit::Alert(QString(text::kImportSettingsQ).arg(filename), filename, text::kCancel,
                                 {text::kYES}, this);
  alert->setObjectName("importSettingsAlert");
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this, filename](int index) {
    if (index == 1) io_.importSettings(filename.toStdString());
  });
  alert->show();
}

void KstImportExportViewController::deleteRow(int row) {
  const QString filename = content_->index(row).data().toString();
  io_.deleteSettingsFile(filename.toStdString());
  content_->removeRows(row, 1);
}

KstGlobalImportViewController::KstGlobalImportViewController(PanelContext& context, bool isDeny)
    : KstScreen(context, "hostListImportScreen", text::kImportTitle, true, false, false),
      io_(context.store),
      isDeny_(isDeny) {
  auto* reloadButton = navBar()->addRightButton(uikit::GlyphButton::Glyph::kReload, "Reload");
  connect(reloadButton, &QAbstractButton::clicked, this, &KstGlobalImportViewController::reload);
  content_ = new QStringListModel(this);
  table_ = fileTable(content(), content_);
  table_->setCanDeleteRow([](int) { return false; });
  contentLayout()->addWidget(table_, 1);
  connect(table_, &uikit::TableView::rowTapped, this, &KstGlobalImportViewController::importRow);
  reload();
}

void KstGlobalImportViewController::reload() {
  content_->setStringList(toQt(io_.hostLists()));
}

void KstGlobalImportViewController::importRow(int row) {
  const QString filename = content_->index(row).data().toString();
  if (filename.isEmpty()) return;
  auto* alert = new uikit::Alert(text::kImportRulesQ, filename, text::kCancel, {text::kYES}, this);
  alert->setObjectName("importRulesAlert");
  connect(alert, &uikit::Alert::dismissedWithButtonIndex, this, [this, filename](int index) {
    if (index == 1) io_.importHostList(filename.toStdString(), isDeny_);
  });
  alert->show();
}

}  // namespace kst::panel
