#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace kst::uikit {

class AlertPlacement;

// An alert in the manner of the original platform: a title, a message, a
// cancel button (index 0, when given) and other buttons (indexes 1, 2...),
// and optionally one text field and one choice. show() returns at once; dismissing with a
// button emits dismissedWithButtonIndex once and deletes the alert later.
// Escape answers the cancel button. Buttons are named "alertButton<index>"
// and the field "alertTextField", for people who script the desktop and for
// tests.
class Alert : public QDialog {
  Q_OBJECT

 public:
  Alert(const QString& title, const QString& message, const QString& cancelButton,
        const QStringList& otherButtons, QWidget* parent = nullptr);
  ~Alert() override;

  // Adds the single-line text field; returns it to be configured.
  QLineEdit* addTextField();
  QLineEdit* textField() const { return field_; }
  // Adds a labelled choice below the text field ("alertChoice"); returns it
  // to be filled. One per alert.
  QComboBox* addChoice(const QString& label, const QStringList& choices);
  QComboBox* choice() const { return choice_; }
  QString title() const { return title_; }
  QString message() const { return message_; }
  QStringList buttonTitles() const;
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }

  // Shows the alert over `parent`'s window, without blocking.
  void show();
  // As a tap on the button of that index.
  void dismissWithButtonIndex(int index);

  // The alerts on screen now, oldest first.
  static QList<Alert*> visibleAlerts();

 signals:
  void willDismissWithButtonIndex(int index);
  void dismissedWithButtonIndex(int index);

 protected:
  void reject() override;

 private:
  QString title_, message_;
  QList<QPushButton*> buttons_;
  QLineEdit* field_ = nullptr;
  QComboBox* choice_ = nullptr;
  AlertPlacement* placement_ = nullptr;
  QVBoxLayout* layout_ = nullptr;
  int cancelIndex_ = -1;
  int tag_ = 0;
  bool dismissed_ = false;
};

}  // namespace kst::uikit
