#include "hook/prompt/UIMultipleSelectionSegmentControl.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "hook/prompt/PromptTesting.h"

namespace kst {
namespace {

class MultipleSelectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::testApplication(); }
};

TEST_F(MultipleSelectionTest, SelectionIsAlwaysATrailingRun) {
  UIMultipleSelectionSegmentControl control({"a", "b", "example.com"});
  control.prepareForKst();
  QSignalSpy changed(&control, &uikit::SegmentedControl::valueChanged);
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{true, true, true}));
  control.tapSegment(1);
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{false, false, true}));
  control.tapSegment(0);
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{true, true, true}));
  control.tapSegment(2);  // the last one stays
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(changed.count(), 2);
  EXPECT_EQ(control.selectedSegments(), (QList<int>{0, 1, 2}));
}

TEST_F(MultipleSelectionTest, PreparingAgainKeepsTheSelection) {
  UIMultipleSelectionSegmentControl control({"mail", "example.com"});
  control.prepareForKst();
  control.tapSegment(0);
  control.prepareForKst();
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{false, true}));
}

TEST_F(MultipleSelectionTest, TapBeforePreparationStartsFromNothingSelected) {
  UIMultipleSelectionSegmentControl control({"a", "b", "example.com"});
  control.tapSegment(1);
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{false, true, true}));
}

TEST_F(MultipleSelectionTest, MouseTapsReachTheToggle) {
  UIMultipleSelectionSegmentControl control({"mail", "example.com"});
  control.resize(270, 28);
  control.prepareForKst();
  control.show();
  QTest::mouseClick(&control, Qt::LeftButton, {}, control.segmentRect(0).center());
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{false, true}));
}

TEST_F(MultipleSelectionTest, DisabledControlIgnoresTaps) {
  UIMultipleSelectionSegmentControl control({"a", "b", "example.com"});
  control.prepareForKst();
  control.setEnabled(false);
  control.tapSegment(0);
  EXPECT_EQ(control.selectedSegmentIndices(), (std::vector<bool>{true, true, true}));
}

}  // namespace
}  // namespace kst
