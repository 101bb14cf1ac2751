#pragma once

#include <QStringListModel>

#include "panel/store/ImportExport.h"
#include "panel/ui/KstScreen.h"
#include "platform/uikit/TableView.h"

class QPushButton;

namespace kst::panel {

// The import and export screen: exports all rules and settings to a dated
// file, lists the settings folder, imports a file over the current
// settings after a confirmation, deletes files.
class KstImportExportViewController : public KstScreen {
  Q_OBJECT

 public:
  explicit KstImportExportViewController(PanelContext& context);

  uikit::TableView* table() const { return table_; }
  QStringList fileNames() const { return content_->stringList(); }
  void reload();
  void exportSettings();

 private:
  void importRow(int row);
  void deleteRow(int row);

  ImportExport io_;
  uikit::TableView* table_;
  QStringListModel* content_;
};

// The host-list import screen: the files of the application's "Lists/"
// folder; a file chosen and confirmed is appended to the global list.
class KstGlobalImportViewController : public KstScreen {
  Q_OBJECT

 public:
  KstGlobalImportViewController(PanelContext& context, bool isDeny);

  uikit::TableView* table() const { return table_; }
  QStringList fileNames() const { return content_->stringList(); }
  void reload();

 private:
  void importRow(int row);

  ImportExport io_;
  const bool isDeny_;
  uikit::TableView* table_;
  QStringListModel* content_;
};

}  // namespace kst::panel
