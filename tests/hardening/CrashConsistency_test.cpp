// Writers killed at random points: the shell's rule writes, the settings
// application's writes and the connection log's appends run in a child that
// writes generation after generation and reports each one done; the test
// kills it with SIGKILL at a random moment, many times over. Every time, the
// file must read, hold exactly the last reported generation or the one
// after it, and keep what the writer was not asked to change; after the
// next write no temporary file may be left in the folder.
//
// KST_CRASH_ROUNDS sets the number of kills per writer (default 150);
// KST_CRASH_SEED repeats a run.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "hook/messaging/FirewallRest.h"
#include "hook/rules/KstFiles.h"
#include "panel/store/PanelStore.h"
#include "platform/fs/Utf16File.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

constexpr const char* kApp = "com.example.app";
constexpr const char* kOtherApp = "com.example.other";
constexpr const char* kGenerationKey = "generation";
// Writes per child: enough to be killed in the middle of one, few enough
// that the log stays small.
constexpr std::int64_t kWritesPerChild = 12;

int envNumber(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

plist::Array rulesOf(std::int64_t generation) {
  plist::Array rules;
  for (std::int64_t i = 0; i <= generation % 7; ++i)
    rules.emplace_back(plist::Dictionary{
        {std::string(files::kRuleKey),
         plist::Value("host-" + std::to_string(generation) + "-" + std::to_string(i))},
        {std::string(files::kDateKey), plist::Value(plist::Date{static_cast<double>(generation)})}});
  return rules;
}

plist::Dictionary appEntry(std::int64_t generation) {
  return plist::Dictionary{{kGenerationKey, plist::Value(generation)},
                           {std::string(files::kAllowKey), plist::Value(rulesOf(generation))}};
}

plist::Dictionary globalRules(std::int64_t generation) {
  return plist::Dictionary{{kGenerationKey, plist::Value(generation)},
                           {std::string(files::kGlobalDenyKey), plist::Value(rulesOf(generation))},
                           {std::string(files::kMarkerKey), plist::Value(true)}};
}

std::string logLine(std::int64_t generation) {
  return "line " + std::to_string(generation) + "\n";
}

// One kind of writer: how to write generation `g`, and how to read back the
// generation a file holds (nothing when it is not a sound file of this
// writer).
struct Writer {
  std::string devicePath;
  std::function<bool(std::int64_t g)> write;
  std::function<std::optional<std::int64_t>()> generation;
};

class CrashConsistencyTest : public ::testing::Test {
 protected:
  CrashConsistencyTest() : seed_(envNumber("KST_CRASH_SEED", static_cast<int>(std::random_device{}()))) {}

  std::string path(std::string_view devicePath) const { return root_.path(devicePath); }

  // Temporary files left in the preferences folder.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path(files::kPreferencesDir), ec)) {
      const std::string name = e.path().filename().string();
      if (!name.empty() && name[0] == '.') out.push_back(name);
    }
    return out;
  }

  // Kills a child writing generations from the file's current one on, at a
  // random moment, `rounds` times; checks the file after every kill.
  void killRepeatedly(const Writer& writer) {
    SCOPED_TRACE("KST_CRASH_SEED=" + std::to_string(seed_));
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed_));
    std::uniform_int_distribution<int> delayUs(0, 4000);
    const int rounds = envNumber("KST_CRASH_ROUNDS", 150);
    ASSERT_TRUE(writer.write(1));
    std::int64_t current = 1;
    int killedMidWrite = 0;      // before its last write was reported
    int killedAfterRename = 0;   // the new file in place, not yet reported
    int killedBeforeRename = 0;  // its temporary file left behind
    for (int round = 0; round < rounds; ++round) {
      int pipeFds[2];
      ASSERT_EQ(::pipe(pipeFds), 0);
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(pipeFds[0]);
        const char started = 's';
        if (::write(pipeFds[1], &started, 1) != 1) ::_exit(2);
        for (std::int64_t g = current + 1; g <= current + kWritesPerChild; ++g) {
          if (!writer.write(g)) ::_exit(3);
          if (::write(pipeFds[1], &g, sizeof g) != sizeof g) ::_exit(4);
        }
        ::pause();  // killed here when it was quicker than the delay
        ::_exit(0);
      }
      ::close(pipeFds[1]);
      char started = 0;
      ASSERT_EQ(::read(pipeFds[0], &started, 1), 1);
      // Not a synchronisation: only where in its writes the child dies.
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
      ::kill(pid, SIGKILL);
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own, status " << status;
      std::int64_t done = current;
      std::int64_t g = 0;
      while (::read(pipeFds[0], &g, sizeof g) == static_cast<ssize_t>(sizeof g)) done = g;
      ::close(pipeFds[0]);

      const std::optional<std::int64_t> found = writer.generation();
      ASSERT_TRUE(found.has_value()) << "round " << round << ": the file does not read as a sound file";
      ASSERT_TRUE(*found == done || *found == done + 1)
          << "round " << round << ": holds generation " << *found << ", last done " << done;
      if (*found == done + 1 || done < current + kWritesPerChild) ++killedMidWrite;
      if (*found == done + 1) ++killedAfterRename;
      if (!temporaries().empty()) ++killedBeforeRename;
      current = *found;
      if (round % 10 == 9) {
        // The next write leaves no temporary file, whatever the dead left.
        ASSERT_TRUE(writer.write(++current));
        ASSERT_EQ(writer.generation(), current);
        EXPECT_EQ(temporaries(), std::vector<std::string>()) << "round " << round;
      }
    }
    // The kills must have hit the writes, not only the idle child.
    EXPECT_GT(killedMidWrite, rounds / 4);
    RecordProperty("killedMidWrite", killedMidWrite);
    RecordProperty("killedAfterRename", killedAfterRename);
    RecordProperty("killedBeforeRename", killedBeforeRename);
  }

  const int seed_;
  testing::TempRoot root_;
};

TEST_F(CrashConsistencyTest, ShellRuleWritesKeepOldOrNewRulesFile) {
  const std::string rulesPath = path(files::kRulesPath);
  // Another application's entry, which no write may lose.
  const plist::Dictionary other{{std::string(files::kEnabledKey), plist::Value(false)}};
  ASSERT_TRUE(
      plist::writeDictionaryFile(FileSystem::real(), rulesPath,
                                 plist::Dictionary{{std::string(files::kMarkerKey), plist::Value(true)},
                                                   {kOtherApp, plist::Value(other)}},
                                 true));
  const DeviceRoot root = root_.root();
  Writer writer{std::string(files::kRulesPath),
                [root](std::int64_t g) {
                  return FirewallRest::writeNowAppRules(root, FileSystem::real(),
                                                        plist::Dictionary{{kApp, plist::Value(appEntry(g))}});
                },
                [rulesPath, other]() -> std::optional<std::int64_t> {
                  const auto rules = plist::readDictionaryFile(FileSystem::real(), rulesPath);
                  if (!rules || rules->dictionary(kOtherApp) == nullptr ||
                      *rules->dictionary(kOtherApp) != other || !rules->contains(files::kMarkerKey))
                    return std::nullopt;
                  const plist::Dictionary* entry = rules->dictionary(kApp);
                  const plist::Value* g = entry != nullptr ? entry->find(kGenerationKey) : nullptr;
                  if (g == nullptr || g->asInteger() == nullptr) return std::nullopt;
                  // SpringBoard merges each write with the file: the sent
                  // rules first, then the file's rules the write did not name.
                  const plist::Array sent = rulesOf(*g->asInteger());
                  const plist::Array* allow = entry->array(files::kAllowKey);
                  if (allow == nullptr || allow->size() < sent.size() ||
                      !std::equal(sent.begin(), sent.end(), allow->begin()))
                    return std::nullopt;
                  return *g->asInteger();
                }};
  killRepeatedly(writer);
}

TEST_F(CrashConsistencyTest, SettingsApplicationWritesKeepOldOrNewGlobalFile) {
  const std::string globalPath = path(files::kGlobalRulesPath);
  Writer writer{std::string(files::kGlobalRulesPath),
                [this](std::int64_t g) {
                  const panel::PanelStore store(
                      FileSystem::real(), root_.root(), [](std::string_view) {},
                      [] { return plist::Date{0}; });
                  return store.writeGlobal(globalRules(g));
                },
                [globalPath]() -> std::optional<std::int64_t> {
                  const auto global = plist::readDictionaryFile(FileSystem::real(), globalPath);
                  const plist::Value* g = global ? global->find(kGenerationKey) : nullptr;
                  if (g == nullptr || g->asInteger() == nullptr || *global != globalRules(*g->asInteger()))
                    return std::nullopt;
                  return *g->asInteger();
                }};
  killRepeatedly(writer);
}

TEST_F(CrashConsistencyTest, LogAppendsKeepEveryWholeLineAndNoPartOfOne) {
  const std::string logPath = path(files::kLogPath);
  Writer writer{std::string(files::kLogPath),
                [logPath](std::int64_t g) {
                  const auto r = utf16::appendToFile(FileSystem::real(), logPath, logLine(g), true);
                  return r == utf16::AppendResult::kAppended || r == utf16::AppendResult::kCreated;
                },
                [logPath]() -> std::optional<std::int64_t> {
                  const auto text = utf16::readFile(FileSystem::real(), logPath);
                  if (!text) return std::nullopt;
                  // Lines 1..n, each once, in order, nothing else.
                  std::string expected;
                  std::int64_t n = 0;
                  while (expected.size() < text->size()) expected += logLine(++n);
                  if (expected != *text) return std::nullopt;
                  return n;
                }};
  killRepeatedly(writer);
}

}  // namespace
}  // namespace kst
