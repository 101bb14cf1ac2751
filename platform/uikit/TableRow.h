#pragma once

#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

#include "platform/uikit/SectionGap.h"

class QLabel;

namespace kst::uikit {

// One 50-point table row made of widgets, for the short tables (a screen of
// switches): an optional 29-point icon, a title, an optional second line,
// and an accessory on the right (a switch, or the disclosure chevron).
// Clicking the row (not its accessory), or Return or Space while it has the
// focus, emits tapped; rows that highlight turn gray while pressed. The
// title is the row's accessible name, the second line its description.
class TableRow : public QWidget {
  Q_OBJECT

 public:
  explicit TableRow(const QString& title, const QString& subtitle = QString(), QWidget* parent = nullptr);

  void setTitle(const QString& title);
  void setSubtitle(const QString& subtitle);
  QString title() const;
  QString subtitle() const;
  void setIcon(const QImage& image);
  // The row owns the accessory; it sits at the right, vertically centred.
  void setAccessory(QWidget* accessory);
  QWidget* accessory() const { return accessory_; }
  void setShowsDisclosure(bool shows);
  void setHighlights(bool highlights) { highlights_ = highlights; }
  void setFonts(const QFont& title, const QFont& subtitle);
  // Whether a tap on the row does anything (someone listens to tapped).
  bool opensOnTap() const;
  // As a person's tap on the row.
  void tap();

 signals:
  void tapped();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutContents();

  QLabel* title_;
  QLabel* subtitle_;
  QString subtitleText_;
  QImage icon_;
  QWidget* accessory_ = nullptr;
  bool disclosure_ = false;
  bool highlights_ = true;
  bool pressed_ = false;
};

// Draws the disclosure chevron at the right of a 50-point row.
void paintDisclosure(class QPainter& painter, const QRect& row);

}  // namespace kst::uikit
