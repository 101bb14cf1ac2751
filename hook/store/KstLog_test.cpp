// The connection log: the line the manager builds and what SpringBoard's
// service makes of it.

#include "hook/store/KstLog.h"

#include <gtest/gtest.h>

#include "hook/messaging/ServicesTesting.h"
#include "hook/store/StoreTesting.h"
#include "platform/fs/Utf16File.h"

namespace kst {
namespace {

TEST(KstLogLineTest, LineIsExactlyTheLogFormat) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 3;
  t.tm_sec = 9;
  EXPECT_EQ(kstLogLine(t, "Example", "allowed", "example.com", "443"),
            "2024-01-05 07:03:09 - Example: connection allowed to example.com via port: 443\n");
  // Host and port go in as they are, without quoting or escaping.
  EXPECT_EQ(kstLogLine(t, "A: b", "denied", "a b\"%@\n", " 0x1BB"),
            "2024-01-05 07:03:09 - A: b: connection denied to a b\"%@\n via port:  0x1BB\n");
}

class KstLogTest : public testing::StoreFixture {
 protected:
  void SetUp() override {
    KstServiceEnv e;
    e.root = root_.root();
    e.flags = &springBoardFlags_;
    window_ = std::make_unique<MessagingSBS>(e);
    bool served = false;
    springBoard_.loop().performAndWait([&] { served = window_->initSBSMessaging(); });
    ASSERT_TRUE(served);
  }
  void TearDown() override { testing::destroyOn(springBoard_, window_); }
  std::string logPath() const { return root_.path(files::kLogPath); }
  // The log text once it holds `lines` lines (the sends are one-way).
  std::string logOf(std::size_t lines) {
    std::string text;
    EXPECT_TRUE(testing::eventually([&] {
      text = utf16::readFile(FileSystem::real(), logPath()).value_or("");
      return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines;
    }));
    return text;
  }

  KstFlags springBoardFlags_;
  testing::LoopThread springBoard_;
  std::unique_ptr<MessagingSBS> window_;
};

TEST_F(KstLogTest, FirstLineCreatesTheFileHoldingExactlyThatLine) {
  auto m = loaded("com.example.app");
  m->setAppName("Example");
  m->logThisApp("ignored", "example.com", "443", "allowed");
  const std::string text = logOf(1);
  ASSERT_GT(text.size(), 19u);
  std::string stamp = text.substr(0, 19);
  for (char& c : stamp)
    if (c >= '0' && c <= '9') c = 'D';
  EXPECT_EQ(stamp, "DDDD-DD-DD DD:DD:DD");
  EXPECT_EQ(text.substr(19), " - Example: connection allowed to example.com via port: 443\n");
  // UTF-16 with a byte-order mark, not UTF-8.
  EXPECT_EQ(FileSystem::real().readFile(logPath()), utf16::encode(text));
}

TEST_F(KstLogTest, LinesKeepTheirArrivalOrder) {
  auto m = loaded("com.example.app");
  m->setAppName("Example");
  // Lines of one second, sent the way the manager sends them, then more.
  std::tm t{};
  t.tm_year = 100;
  t.tm_mday = 1;
  auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), root_.root());
  std::string expected;
  for (const char* host : {"first.com", "second.com"}) {
    const std::string line = kstLogLine(t, "Example", "denied", host, "80");
    const plist::Dictionary info{{"logString", line}};
    ASSERT_TRUE(center->sendMessage("logMessage", &info));
    expected += line;
  }
  EXPECT_EQ(logOf(2), expected);
  for (int i = 0; i < 20; ++i) m->logThisApp("", "host" + std::to_string(i), "1", "allowed");
  const std::string text = logOf(22);
  std::size_t at = expected.size();
  for (int i = 0; i < 20; ++i) {
    const std::size_t next = text.find(" to host" + std::to_string(i) + " via", at);
    ASSERT_NE(next, std::string::npos) << i;
    at = next;
  }
}

TEST(LogNotificationTest, WritesTheLineThroughTheProcessManager) {
  // The exported entry works on the process's own manager and device root.
  const DeviceRoot root = DeviceRoot::process();
  KstFlags springBoardFlags;
  testing::LoopThread springBoard;
  KstServiceEnv e;
  e.root = root;
  e.flags = &springBoardFlags;
  auto window = std::make_unique<MessagingSBS>(e);
  bool served = false;
  springBoard.loop().performAndWait([&] { served = window->initSBSMessaging(); });
  ASSERT_TRUE(served);
  FileSystem::real().removeFile(root.path(files::kLogPath));

  ensureSettingsManagerKst().setAppName("Notifier");
  logNotification("ignored", "notified.example", "8443", "denied");
  logNotification("ignored", nullptr, nullptr, "allowed");  // absent texts read "(null)"
  std::string text;
  EXPECT_TRUE(testing::eventually([&] {
    text = utf16::readFile(FileSystem::real(), root.path(files::kLogPath)).value_or("");
    return std::count(text.begin(), text.end(), '\n') >= 2;
  }));
  EXPECT_NE(text.find(" - Notifier: connection denied to notified.example via port: 8443\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" - Notifier: connection allowed to (null) via port: (null)\n"), std::string::npos)
      << text;
  testing::destroyOn(springBoard, window);
}

}  // namespace
}  // namespace kst
