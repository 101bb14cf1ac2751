#include "tools/notify/NotifyTool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/testing/TempRoot.h"

namespace kst::tools {
namespace {

using namespace std::chrono_literals;

TEST(NotifyToolTest, PostReachesObservers) {
  testing::TempRoot temp;
  DarwinNotifyCenter center(temp.root());
  std::mutex mu;
  std::condition_variable cv;
  int got = 0;
  ASSERT_NE(center.addObserver("com.dovrane.kst.reloadBoth",
                               [&] {
                                 std::lock_guard lock(mu);
                                 ++got;
                                 cv.notify_all();
                               }),
            0u);
  std::ostringstream out, err;
  EXPECT_EQ(runNotifyTool({"post", "com.dovrane.kst.reloadBoth", "--root", temp.dir()}, out, err), 0);
  std::unique_lock lock(mu);
  EXPECT_TRUE(cv.wait_for(lock, 30s, [&] { return got == 1; }));
}

TEST(NotifyToolTest, ObservePrintsEachArrivalUntilCount) {
  testing::TempRoot temp;
  std::ostringstream out, err;
  std::atomic<int> status{-1};
  std::thread observer([&] {
    status = runNotifyTool({"observe", "ping", "--count", "2", "--root", temp.dir()}, out, err);
  });
  DarwinNotifyCenter poster(temp.root());
  // Post until the observer has had two: it may not be listening yet.
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (status == -1 && std::chrono::steady_clock::now() < until) {
    poster.post("ping");
    std::this_thread::sleep_for(5ms);
  }
  observer.join();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.str(), "ping\nping\n");
}

TEST(NotifyToolTest, BadArgumentsPrintUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"post"},
                                             {"shout", "x"},
                                             {"post", "x", "y"},
                                             {"post", "x", "--root"},
                                             {"post", "x", "--count", "2"},
                                             {"observe", "x", "--count", "0"},
                                             {"observe", "x", "--count", "2z"},
                                             {"post", "x", "--verbose"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(runNotifyTool(args, out, err), 2) << ::testing::PrintToString(args);
    EXPECT_NE(err.str().find("usage:"), std::string::npos);
  }
}

}  // namespace
}  // namespace kst::tools
