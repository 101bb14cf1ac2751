#include "hook/prompt/PromptLayout.h"

namespace kst::prompt {

namespace {

const PromptLayout kPortrait{
    {0, 10, 320, 460},
    {20, 20, 280, 16},
    {20, 45, 280, 22},
    {33, 84, 254, 26},
    {5, 114, 310, 40},
    {3, 6, 270, 28},
    {280, 7, 27, 26},
    {30, 121, 260, 26},
    {30, 158, 235, 26},
    {274, 165, 12, 12},
    {20, 216, 280, 224},
    {10, 10, 260, 26},
    {{{25, 45, 70, 28},
      {165, 45, 90, 28},
      {165, 91, 90, 28},
      {25, 91, 90, 28},
      {25, 137, 230, 28},
      {25, 183, 230, 28}}},
};

const PromptLayout kLandscape{
    {0, 10, 480, 320},
    {20, 20, 420, 16},
    {20, 42, 420, 22},
    {20, 70, 420, 26},
    {5, 99, 450, 40},
    {3, 6, 410, 28},
    {418, 7, 27, 26},
    {20, 106, 220, 26},
    {250, 106, 168, 26},
    {428, 112, 12, 12},
    {20, 146, 420, 154},
    {10, 10, 400, 26},
    {{{25, 40, 70, 20},
      {305, 40, 90, 20},
      {305, 68, 90, 20},
      {25, 68, 90, 20},
      {25, 96, 370, 20},
      {25, 124, 370, 20}}},
};

}  // namespace

const PromptLayout& portraitLayout() {
  return kPortrait;
}

const PromptLayout& landscapeLayout() {
  return kLandscape;
}

bool isLandscape(int orientationCode) {
  return orientationCode == 1 || orientationCode == 2;
}

const PromptLayout& layoutFor(int orientationCode) {
  return isLandscape(orientationCode) ? kLandscape : kPortrait;
}

int rotationFor(int orientationCode) {
  switch (orientationCode) {
    case 1:
      return 90;
    case 2:
      return -90;
    case 3:
      return 180;
    default:
      return 0;
  }
}

}  // namespace kst::prompt
