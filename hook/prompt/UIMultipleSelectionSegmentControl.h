#pragma once

#include <string>
#include <vector>

#include "platform/uikit/SegmentedControl.h"

namespace kst {

// A segmented control in which several segments are selected at once, as a
// run of trailing segments that always includes the last one: the prompt
// offers the parts of a host name this way (a.b.example.com: a, b,
// example.com), and the selected parts are the host a rule is made for.
// Tapping a selected segment deselects it and every segment before it;
// tapping an unselected one selects it and every segment after it; the last
// segment cannot be changed. Main thread only.
class UIMultipleSelectionSegmentControl final : public uikit::SegmentedControl {
  Q_OBJECT

 public:
  explicit UIMultipleSelectionSegmentControl(const std::vector<std::string>& items,
                                             QWidget* parent = nullptr);

  // Called each time the panel is shown: selects every segment the first time.
  void prepareForKst();
  const std::vector<bool>& selectedSegmentIndices() const { return indices_; }
  const std::vector<std::string>& myItems() const { return myItems_; }

  // The toggle; reports the change unless nothing could change.
  void setSelectedSegmentIndex(int index) override;
  bool isSegmentSelected(int index) const override;
  bool selectsSeveral() const override { return true; }

 private:
  std::vector<bool> indices_;
  std::vector<std::string> myItems_;
};

}  // namespace kst
