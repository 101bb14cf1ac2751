#include "platform/hosttable/HostNameTable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using L = HostNameTableLayout;

std::string addressOf(int i) {
  return "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
         std::to_string(i & 255);
}
// Every name a writer stores says which address it is for, so a reader can
// tell a name that belongs to its address from one that does not.
std::string nameOf(int i, int version) {
  return "host" + std::to_string(i) + ".v" + std::to_string(version) + ".test";
}
bool nameFits(const std::string& name, int i) {
  return name.rfind("host" + std::to_string(i) + ".v", 0) == 0;
}

class HostNameTableTest : public ::testing::Test {
 protected:
  std::string path() const { return tmp_.dir() + "/hostnames.table"; }
  kst::testing::TempRoot tmp_;
};

TEST_F(HostNameTableTest, NewestNamePerAddressAndForgetting) {
  auto writer = HostNameTableWriter::create(path());
  ASSERT_TRUE(writer);
  HostNameTableReader reader(path());
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);
  writer->publish("127.0.0.5", "first.test");
  EXPECT_EQ(reader.lookup("127.0.0.5"), "first.test");
  writer->publish("127.0.0.5", "ads.test");
  EXPECT_EQ(reader.lookup("127.0.0.5"), "ads.test");
  writer->publish("::ffff:127.0.0.5", "mapped.test");
  writer->publish("2001:db8::1", "six.test");
  EXPECT_EQ(reader.lookup("127.0.0.5"), "ads.test");
  EXPECT_EQ(reader.lookup("2001:db8::1"), "six.test");
  EXPECT_EQ(reader.lookup("127.0.0.50"), std::nullopt);

  // The longest names pass whole; longer ones, and over-long addresses, are
  // not published (and a too-long name drops the older one).
  const std::string longest(253, 'a');
  writer->publish("127.0.0.6", longest);
  EXPECT_EQ(reader.lookup("127.0.0.6"), longest);
  writer->publish("127.0.0.6", std::string(300, 'b'));
  EXPECT_EQ(reader.lookup("127.0.0.6"), std::nullopt);
  writer->publish(std::string(60, '1'), "x.test");
  EXPECT_EQ(reader.lookup(std::string(60, '1')), std::nullopt);
  char small[4];
  EXPECT_EQ(reader.lookup("127.0.0.5", small, sizeof small), 0u);  // does not fit: none

  writer->remove("127.0.0.5");
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);
  EXPECT_EQ(reader.lookup("2001:db8::1"), "six.test");
  writer->clear();
  EXPECT_EQ(reader.lookup("2001:db8::1"), std::nullopt);
}

TEST_F(HostNameTableTest, AFullTableKeepsTheNewestNames) {
  auto writer = HostNameTableWriter::create(path());
  ASSERT_TRUE(writer);
  HostNameTableReader reader(path());
  const int total = 3 * static_cast<int>(L::kSlotCount);
  for (int i = 0; i < total; ++i) writer->publish(addressOf(i), nameOf(i, 0));
  for (int i = total - 100; i < total; ++i) EXPECT_EQ(reader.lookup(addressOf(i)), nameOf(i, 0)) << i;
}

TEST_F(HostNameTableTest, NoTableOrAnOwnerGoneReadsAsNoName) {
  HostNameTableReader reader(path());
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);  // no file yet
  {
    auto writer = HostNameTableWriter::create(path());
    ASSERT_TRUE(writer);
    writer->publish("127.0.0.5", "a.test");
    reader.reset();  // the next lookup looks again, without the one-second wait
    EXPECT_EQ(reader.lookup("127.0.0.5"), "a.test");
  }
  // The owner went away: its table is gone with it.
  EXPECT_FALSE(std::filesystem::exists(path()));
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);

  // A table left by a process that died.
  const pid_t child = ::fork();
  if (child == 0) {
    auto writer = HostNameTableWriter::create(path());
    if (writer) writer->publish("127.0.0.5", "dead.test");
    ::raise(SIGKILL);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(std::filesystem::exists(path()));
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);
}

TEST_F(HostNameTableTest, DamagedOrForeignFilesReadAsNoName) {
  std::mt19937 random(7);
  const auto fill = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  };
  const auto writeRaw = [&](const std::string& bytes) {
    std::filesystem::remove(path());
    const int fd = ::open(path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  };
  HostNameTableReader reader(path());
  const auto noNames = [&](const char* what) {
    reader.reset();
    for (int i = 0; i < 2000; ++i) EXPECT_EQ(reader.lookup(addressOf(i)), std::nullopt) << what << " " << i;
  };

  writeRaw(fill(L::fileSize()));
  noNames("random bytes");
  writeRaw(fill(100));
  noNames("truncated");
  writeRaw("");
  noNames("empty");

  // A sound header over slots of random bytes: the checksums hold them off.
  auto writer = HostNameTableWriter::create(path());
  ASSERT_TRUE(writer);
  for (int i = 0; i < 2000; ++i) writer->publish(addressOf(i), nameOf(i, 0));
  {
    const std::string junk = fill(L::fileSize() - L::kHeaderSize);
    const int fd = ::open(path().c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, junk.data(), junk.size(), L::kHeaderSize), static_cast<ssize_t>(junk.size()));
    ::close(fd);
  }
  reader.reset();
  for (int i = 0; i < 2000; ++i) {
    const auto name = reader.lookup(addressOf(i));
    EXPECT_TRUE(!name || nameFits(*name, i)) << *name;
  }

  // Sound contents, but a file others may write, or of another user.
  writer->publish("127.0.0.5", "a.test");
  ASSERT_EQ(::chmod(path().c_str(), 0666), 0);
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);
  ASSERT_EQ(::chmod(path().c_str(), 0644), 0);
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), "a.test");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path().c_str(), 65534, 65534), 0);
    reader.reset();
    EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt);
  }
}

TEST_F(HostNameTableTest, ASoundTableOfAnotherVersionLayoutOrSizeReadsAsNoName) {
  auto writer = HostNameTableWriter::create(path());
  ASSERT_TRUE(writer);
  writer->publish("127.0.0.5", "a.test");
  HostNameTableReader reader(path());
  ASSERT_EQ(reader.lookup("127.0.0.5"), "a.test");

  // The header's second word: version | slot count << 32; the third: slot
  // size | owner pid << 32.
  const auto patchWord = [&](std::size_t word, std::uint64_t value) {
    const int fd = ::open(path().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, &value, sizeof value, static_cast<off_t>(word * sizeof value)),
              static_cast<ssize_t>(sizeof value));
    ::close(fd);
  };
  const auto readWord = [&](std::size_t word) {
    std::uint64_t value = 0;
    const int fd = ::open(path().c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, &value, sizeof value, static_cast<off_t>(word * sizeof value)),
              static_cast<ssize_t>(sizeof value));
    ::close(fd);
    return value;
  };
  const std::uint64_t versionSlots = readWord(1);
  const std::uint64_t sizeOwner = readWord(2);
  ASSERT_EQ(versionSlots & 0xffffffffu, L::kVersion);

  patchWord(1, versionSlots + 1);  // the next version
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt) << "another version";
  patchWord(1, (versionSlots & 0xffffffffu) | (static_cast<std::uint64_t>(L::kSlotCount / 2) << 32));
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt) << "another slot count";
  patchWord(1, versionSlots);
  patchWord(2, sizeOwner + 8);
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt) << "another slot size";
  patchWord(2, sizeOwner);
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), "a.test") << "restored, it reads again";

  // A sound header, but the file longer or shorter than the layout says.
  ASSERT_EQ(::truncate(path().c_str(), static_cast<off_t>(L::fileSize() + 4096)), 0);
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt) << "longer";
  ASSERT_EQ(::truncate(path().c_str(), static_cast<off_t>(L::fileSize() / 2)), 0);
  reader.reset();
  EXPECT_EQ(reader.lookup("127.0.0.5"), std::nullopt) << "shorter";
}

TEST_F(HostNameTableTest, ReadersNeverSeeATornEntryWhileTheOwnerWrites) {
  auto writer = HostNameTableWriter::create(path());
  ASSERT_TRUE(writer);
  constexpr int kAddresses = 64;
  std::atomic<bool> stop{false};
  std::atomic<long> found{0};
  std::atomic<long> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      HostNameTableReader reader(path());
      while (!stop.load()) {
        for (int i = 0; i < kAddresses; ++i) {
          char name[L::kMaxName + 1];
          if (reader.lookup(addressOf(i), name, sizeof name) == 0) continue;
          ++found;
          if (!nameFits(name, i)) ++wrong;
        }
      }
    });
  }
  for (int version = 0; version < 2000; ++version) {
    for (int i = 0; i < kAddresses; ++i) writer->publish(addressOf(i), nameOf(i, version));
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(found.load(), 0);
}

TEST_F(HostNameTableTest, AReaderInAnotherProcessAndAnOwnerStoppedMidWrite) {
  // The owner is a child that keeps rewriting; this process reads, stops
  // the owner at random moments (a slot may be half-written then) and
  // checks that whatever it reads is whole.
  const pid_t owner = ::fork();
  if (owner == 0) {
    auto writer = HostNameTableWriter::create(path());
    if (!writer) ::_exit(1);
    for (int version = 0;; ++version) {
      for (int i = 0; i < 256; ++i) writer->publish(addressOf(i), nameOf(i, version));
    }
  }
  while (!std::filesystem::exists(path())) ::usleep(1000);
  HostNameTableReader reader(path());
  std::mt19937 random(11);
  long found = 0;
  for (int round = 0; round < 40; ++round) {
    ::usleep(1000 + random() % 5000);
    ::kill(owner, SIGSTOP);
    reader.reset();
    for (int i = 0; i < 256; ++i) {
      const auto name = reader.lookup(addressOf(i));
      if (!name) continue;
      ++found;
      EXPECT_TRUE(nameFits(*name, i)) << *name << " for " << addressOf(i);
    }
    ::kill(owner, SIGCONT);
  }
  ::kill(owner, SIGKILL);
  ::waitpid(owner, nullptr, 0);
  EXPECT_GT(found, 0);
  reader.reset();
  EXPECT_EQ(reader.lookup(addressOf(1)), std::nullopt);  // its owner is gone
}

}  // namespace
}  // namespace kst
