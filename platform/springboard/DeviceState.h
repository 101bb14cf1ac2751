#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs/DeviceRoot.h"

namespace kst::springboard {

// An alert item of the shell: a line of text. Items live until the shell
// exits (the hook library may hold one across a delayed perform), so the
// shell makes a bounded number of them.
struct AlertItem {
  std::string text;
};
inline constexpr std::size_t kMaxAlertItems = 256;
inline constexpr std::size_t kMaxAlertText = 1024;

// An application of the device, from <root>/Applications/<Name>.app/Info.plist.
struct InstalledApplication {
  std::string bundleIdentifier;
  std::string displayName;
};

// The device the shell plays: lock and screen state, orientation, model and
// screen, the alert items, the applications. The stand-in classes and the
// shell window read and change it. Main thread only.
class DeviceState {
 public:
  static DeviceState& shared();

  bool locked() const { return locked_; }
  bool dim() const { return dim_; }
  int orientation() const { return orientation_; }
  const std::string& model() const { return model_; }
  double screenWidth() const { return screenWidth_; }
  double screenHeight() const { return screenHeight_; }
  double screenScale() const { return screenScale_; }
  bool idleTimerDisabled() const { return idleTimerDisabled_; }
  int idleTimerResets() const { return idleTimerResets_; }
  const std::vector<int>& soundsPlayed() const { return sounds_; }
  int flashes() const { return flashes_; }

  void setLocked(bool locked);
  void setDim(bool dim);
  // Device orientation 0..6; other values are refused (false).
  bool setOrientation(int orientation);
  void setModel(std::string model);
  void setScreen(double width, double height, double scale);
  // The lock button: a press wakes a dark screen; a press on a lit,
  // unlocked screen locks it and turns it dark.
  void lockButtonPressed();
  void setIdleTimerDisabled(bool disabled);
  void resetIdleTimer();
  void playSound(int sound);
  void flash();

  // Alert items: one visible, the rest pending (oldest first). nullptr once
  // kMaxAlertItems were made.
  AlertItem* makeAlertItem(std::string text);
  AlertItem* visibleAlert() const { return visible_; }
  const std::deque<AlertItem*>& pendingAlerts() const { return pending_; }
  // Shows the item; when another is visible the new one waits.
  void activateAlert(AlertItem* item);
  void deactivateAlert(AlertItem* item);
  void moveActiveAlertsToPending();
  void activatePendedAlerts();
  void setForceAlertsToPend(bool force) { forcePend_ = force; }

  // Reads the applications of the device root again.
  void loadApplications(const DeviceRoot& root);
  const std::vector<InstalledApplication>& applications() const { return applications_; }

  // What the prompts answered, newest last, at most 10.
  void noteAnswer(std::string line);
  const std::deque<std::string>& answers() const { return answers_; }

  // Called after every change (the shell window redraws).
  void setObserver(std::function<void()> observer) { observer_ = std::move(observer); }

 private:
  void changed();

  bool locked_ = false;
  bool dim_ = false;
  int orientation_ = 1;
  std::string model_ = "iPhone";
  double screenWidth_ = 320;
  double screenHeight_ = 480;
  double screenScale_ = 2.0;
  bool idleTimerDisabled_ = false;
  int idleTimerResets_ = 0;
  std::vector<int> sounds_;
  int flashes_ = 0;
  std::vector<std::unique_ptr<AlertItem>> items_;
  AlertItem* visible_ = nullptr;
  std::deque<AlertItem*> pending_;
  bool forcePend_ = false;
  std::vector<InstalledApplication> applications_;
  std::deque<std::string> answers_;
  std::function<void()> observer_;
};

}  // namespace kst::springboard
