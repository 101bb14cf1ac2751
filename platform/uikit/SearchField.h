#pragma once

#include <QLineEdit>

namespace kst::uikit {

// The search bar over a table: 38 points high, white, with a clear button
// and the placeholder "Search". textChanged carries every change.
class SearchField : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int kHeight = 38;
  explicit SearchField(QWidget* parent = nullptr);
};

}  // namespace kst::uikit
