#include "platform/uikit/SearchField.h"

namespace kst::uikit {

SearchField::SearchField(QWidget* parent) : QLineEdit(parent) {
  setObjectName("searchField");
  setAccessibleName("Search");
  setPlaceholderText("Search");
  setClearButtonEnabled(true);
  setFixedHeight(kHeight);
  setStyleSheet(
      "QLineEdit { background: white; border: none; border-bottom: 1px solid rgb(230,232,232);"
      " padding: 0 10px; font-size: 14px; }"
      "QLineEdit:focus { background: rgb(250,250,250); }");
}

}  // namespace kst::uikit
