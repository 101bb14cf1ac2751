#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "hook/rules/KstMessageNames.h"
#include "panel/store/PanelStore.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst::panel::testing {

// Counts the notifications that really arrive over the device's notify
// folder. settle() posts a sentinel and waits for it: datagrams from one
// sender arrive in order, so everything posted before has been counted.
class NotificationCounter {
 public:
  explicit NotificationCounter(DarwinNotifyCenter& center) : center_(center) {
    for (std::string_view name : {msg::kReloadBothNotification, msg::kHookLateNotification}) {
      ids_.push_back(center_.addObserver(std::string(name), [this, n = std::string(name)] {
        std::lock_guard lock(mu_);
        ++counts_[n];
      }));
    }
    ids_.push_back(center_.addObserver(kSentinel, [this] { ++sentinels_; }));
  }
  ~NotificationCounter() {
    for (auto id : ids_) center_.removeObserver(id);
  }

  bool settle() {
    const int want = sentinels_.load() + 1;
    center_.post(kSentinel);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sentinels_.load() < want) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  int count(std::string_view name) {
    std::lock_guard lock(mu_);
    return counts_[std::string(name)];
  }
  int reloads() { return count(msg::kReloadBothNotification); }
  int hookLates() { return count(msg::kHookLateNotification); }

 private:
  static constexpr const char* kSentinel = "test.kst.panel.sentinel";
  DarwinNotifyCenter& center_;
  std::mutex mu_;
  std::map<std::string, int> counts_;
  std::atomic<int> sentinels_{0};
  std::vector<DarwinNotifyCenter::ObserverId> ids_;
};

// A fresh device root, a notification centre on it and a store whose clock
// moves one second per reading.
struct PanelFixtureState {
  kst::testing::TempRoot root;
  DarwinNotifyCenter center{root.root()};
  double clock = 500000000;
  PanelStore store{FileSystem::real(), root.root(), [this](std::string_view n) { center.post(n); },
                   [this] { return plist::Date{clock += 1}; }};

  std::string path(std::string_view devicePath) const { return root.path(devicePath); }
  std::optional<plist::Dictionary> read(std::string_view devicePath) const {
    return plist::readDictionaryFile(FileSystem::real(), path(devicePath));
  }
  bool write(std::string_view devicePath, const plist::Dictionary& d) const {
    return plist::writeDictionaryFile(FileSystem::real(), path(devicePath), d, true);
  }
  void writeBytes(std::string_view devicePath, std::string_view bytes) const {
    std::filesystem::create_directories(std::filesystem::path(path(devicePath)).parent_path());
    std::ofstream(path(devicePath), std::ios::binary) << bytes;
  }
  bool exists(std::string_view devicePath) const { return std::filesystem::exists(path(devicePath)); }
  // An application bundle under the root.
  void addBundle(const std::string& folder, const std::string& id, const std::string& name) const {
    plist::Dictionary info{{"CFBundleIdentifier", id}};
    if (!name.empty()) info.set("CFBundleDisplayName", name);
    write("/Applications/" + folder + ".app/Info.plist", info);
  }
};

inline plist::Dictionary ruleEntry(const std::string& rule, double when) {
  return plist::Dictionary{{"rule", rule}, {"date", plist::Date{when}}};
}

}  // namespace kst::panel::testing
