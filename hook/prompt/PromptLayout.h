#pragma once

#include <array>

// The prompt's frames in points, for the portrait layout (orientation codes
// 0 and 3) and the landscape one (codes 1 and 2), and the rotation of each
// orientation code.
namespace kst::prompt {

struct Frame {
  int x, y, width, height;
  bool operator==(const Frame&) const = default;
};

struct PromptLayout {
  Frame mainView;      // in the window (before rotation)
  Frame questionLine;  // in the main view, as all up to lowerPanel
  Frame hostButton;
  Frame urlScrollView;
  Frame hostPartsPanel;
  Frame hostPartsControl;  // in the host-part panel, as is hostPartsOk
  Frame hostPartsOk;
  Frame hostFormControl;
  Frame portControl;
  Frame portInfoButton;
  Frame lowerPanel;
  Frame modeControl;  // in the lower panel, as are the buttons
  // By tag: Once, Session, All Session, Always, All Connections, Always & Global.
  std::array<Frame, 6> buttons;
};

const PromptLayout& portraitLayout();
const PromptLayout& landscapeLayout();
// Portrait for codes 0 and 3 (and anything unknown), landscape for 1 and 2.
const PromptLayout& layoutFor(int orientationCode);
bool isLandscape(int orientationCode);
// Degrees: 0 none, 1 +90, 2 -90, 3 180.
int rotationFor(int orientationCode);

}  // namespace kst::prompt
