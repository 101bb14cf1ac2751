// The connection log: one "logMessage" appended by SpringBoard's handler to
// a log of 10,000 lines (read whole, append, atomic rewrite with fsync), and
// the same line sent from the application's side over the real socket and
// waited for on disk.
#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "hook/messaging/MessagingSBS.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstLog.h"
#include "platform/fs/Utf16File.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

constexpr int kLines = 10000;

std::string line(int i) {
  std::tm t{};
  t.tm_year = 124;
  t.tm_mday = 1;
  t.tm_sec = i % 60;
  return kstLogLine(t, "Example", i % 2 == 0 ? "allowed" : "denied",
                    "host" + std::to_string(i) + ".example.com", "443");
}

// A device root whose log holds kLines lines.
struct LogFixture {
  LogFixture() {
    KstServiceEnv e;
    e.root = temp.root();
    e.flags = &flags;
    window = std::make_unique<MessagingSBS>(e);
    std::string text;
    for (int i = 0; i < kLines; ++i) text += line(i);
    initial = *utf16::encode(text);
    reset();
  }
  void reset() { FileSystem::real().writeFileAtomic(path(), initial, true); }
  std::string path() const { return temp.path(files::kLogPath); }

  testing::TempRoot temp;
  KstFlags flags;
  std::unique_ptr<MessagingSBS> window;
  std::string initial;
};

void BM_LogAppendOn10000Lines(benchmark::State& state) {
  LogFixture f;
  const plist::Dictionary info{{std::string(msg::kLogStringKey), line(kLines)}};
  int appended = 0;
  for (auto _ : state) {
    f.window->handleMessageNamed(msg::kLogMessage, &info);
    // Keep the log at about 10,000 lines.
    if (++appended == 100) {
      state.PauseTiming();
      f.reset();
      appended = 0;
      state.ResumeTiming();
    }
  }
  state.SetLabel(std::to_string(f.initial.size() / 1024) + " KiB log");
}
BENCHMARK(BM_LogAppendOn10000Lines)->Unit(benchmark::kMillisecond);

// From the application's one-way send until the line is in the file.
void BM_LogLineSentAndWritten(benchmark::State& state) {
  LogFixture f;
  testing::LoopThread springBoard;
  bool served = false;
  springBoard.loop().performAndWait([&] { served = f.window->initSBSMessaging(); });
  if (!served) {
    state.SkipWithError("service did not start");
    return;
  }
  auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), f.temp.root());
  const plist::Dictionary info{{std::string(msg::kLogStringKey), line(kLines)}};
  for (auto _ : state) {
    state.PauseTiming();
    f.reset();
    state.ResumeTiming();
    center->sendMessage(std::string(msg::kLogMessage), &info);
    // The handler replaces the file by rename: poll for the new size.
    std::error_code ec;
    while (std::filesystem::file_size(f.path(), ec) == f.initial.size()) {
    }
  }
  springBoard.loop().performAndWait([&] { f.window.reset(); });
}
BENCHMARK(BM_LogLineSentAndWritten)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
