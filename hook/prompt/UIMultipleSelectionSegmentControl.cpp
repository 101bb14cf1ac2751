#include "hook/prompt/UIMultipleSelectionSegmentControl.h"

namespace kst {

namespace {

QStringList titles(const std::vector<std::string>& items) {
  QStringList out;
  for (const auto& item : items) out << QString::fromStdString(item);
  return out;
}

}  // namespace

UIMultipleSelectionSegmentControl::UIMultipleSelectionSegmentControl(const std::vector<std::string>& items,
                                                                     QWidget* parent)
    : SegmentedControl(titles(items), parent), myItems_(items) {
  setWidthsByContent(true);
}

void UIMultipleSelectionSegmentControl::prepareForKst() {
  if (indices_.empty()) indices_.assign(myItems_.size(), true);
  update();
}

bool UIMultipleSelectionSegmentControl::isSegmentSelected(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < indices_.size() && indices_[index];
}

void UIMultipleSelectionSegmentControl::setSelectedSegmentIndex(int index) {
  const int n = numberOfSegments();
  if (n == 0 || index < 0 || index >= n) return;
  if (indices_.empty()) indices_.assign(static_cast<std::size_t>(n), false);
  if (index == n - 1) return;  // the registered domain always stays
  if (indices_[index]) {
    for (int i = 0; i <= index; ++i) indices_[i] = false;
  } else {
    for (int i = index; i < n; ++i) indices_[i] = true;
  }
  update();
  sendValueChanged();
}

}  // namespace kst
