#include "tools/launch/TargetCall.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "hook/intercept/JudgedCall.h"

namespace kst::launch {
namespace {

// A target's memory: a few regions at chosen addresses; everything else is
// unmapped.
class FakeMemory : public TargetMemory {
 public:
  std::uint64_t place(const void* data, std::size_t length) {
    const std::uint64_t at = next_;
    regions_[at] = std::string(static_cast<const char*>(data), length);
    next_ += (length + kGap) & ~std::uint64_t{kAlign - 1};
    return at;
  }
  bool read(std::uint64_t address, void* out, std::size_t length) override {
    ++reads;
    for (const auto& [start, bytes] : regions_) {
      if (address >= start && address - start <= bytes.size() && bytes.size() - (address - start) >= length) {
        std::memcpy(out, bytes.data() + (address - start), length);
        return true;
      }
    }
    return false;
  }
  int reads = 0;

 private:
  static constexpr std::uint64_t kGap = 4096;
  static constexpr std::uint64_t kAlign = 4096;
  std::uint64_t next_ = 0x100000;
  std::map<std::uint64_t, std::string> regions_;
};

template <class T>
void* asPointer(std::uint64_t address) {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

sockaddr_in ipv4(const char* text, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

TEST(TargetCallTest, AddressIsCopiedOrFailsAsTheKernelFailsIt) {
  FakeMemory memory;
  const sockaddr_in a = ipv4("127.0.0.9", 80);
  const std::uint64_t at = memory.place(&a, sizeof a);
  CopiedAddress copy = copyAddress(memory, at, sizeof a);
  EXPECT_EQ(copy.error, 0);
  EXPECT_EQ(copy.length, sizeof a);
  EXPECT_EQ(std::memcmp(&copy.storage, &a, sizeof a), 0);

  EXPECT_EQ(copyAddress(memory, 16, sizeof a).error, EFAULT) << "unmapped";
  EXPECT_EQ(copyAddress(memory, at + 8, sizeof a).error, EFAULT) << "runs past its region";
  EXPECT_EQ(copyAddress(memory, at, 0x80000000ULL).error, EINVAL) << "2 GiB: negative as an int";
  EXPECT_EQ(copyAddress(memory, at, sizeof(sockaddr_storage) + 1).error, EINVAL);
  EXPECT_EQ(copyAddress(memory, at, 0x100000010ULL).length, 16u) << "only the low 32 bits count";
  const int readsBefore = memory.reads;
  copy = copyAddress(memory, 16, 0);
  EXPECT_EQ(copy.error, 0);
  EXPECT_EQ(copy.length, 0u);
  EXPECT_EQ(memory.reads, readsBefore) << "no length, nothing read";
}

TEST(TargetCallTest, MessageIsCopiedWholeWithItsBuffersJoined) {
  FakeMemory memory;
  const sockaddr_in a = ipv4("127.0.0.10", 53);
  const iovec buffers[] = {{asPointer<char>(memory.place("abc", 3)), 3},
                           {nullptr, 0},
                           {asPointer<char>(memory.place("defg", 4)), 4}};
  sockaddr_storage whole{};
  std::memcpy(&whole, &a, sizeof a);
  msghdr h{};
  h.msg_name = asPointer<sockaddr_storage>(memory.place(&whole, sizeof whole));
  h.msg_namelen = 200;  // cut to a sockaddr_storage, as the kernel does
  h.msg_iov = static_cast<iovec*>(asPointer<iovec>(memory.place(buffers, sizeof buffers)));
  h.msg_iovlen = 3;
  const char control[] = "ctl";
  h.msg_control = asPointer<char>(memory.place(control, sizeof control));
  h.msg_controllen = sizeof control;
  const std::uint64_t header = memory.place(&h, sizeof h);

  CopiedMessage m = copyMessage(memory, header, true);
  ASSERT_EQ(m.error, 0);
  EXPECT_TRUE(m.hasName);
  EXPECT_EQ(m.nameLength, sizeof(sockaddr_storage));
  EXPECT_EQ(std::string(m.payload.begin(), m.payload.end()), "abcdefg");
  EXPECT_EQ(std::string(m.control.data()), "ctl");

  m = copyMessage(memory, header, false);
  EXPECT_TRUE(m.hasName);
  EXPECT_TRUE(m.payload.empty()) << "the name alone";
}

TEST(TargetCallTest, BadMessagesFailWithTheKernelsErrors) {
  FakeMemory memory;
  const sockaddr_in a = ipv4("127.0.0.10", 53);
  const auto copyOf = [&](msghdr h) { return copyMessage(memory, memory.place(&h, sizeof h), true); };
  msghdr h{};
  h.msg_name = asPointer<sockaddr_in>(memory.place(&a, sizeof a));
  h.msg_namelen = sizeof a;
  EXPECT_EQ(copyMessage(memory, 16, true).error, EFAULT) << "the header itself";

  msghdr bad = h;
  bad.msg_name = asPointer<char>(16);
  EXPECT_EQ(copyOf(bad).error, EFAULT) << "its name";
  bad = h;
  bad.msg_namelen = 0x80000000U;
  EXPECT_EQ(copyOf(bad).error, EINVAL);
  bad = h;
  bad.msg_iovlen = kMaxBuffers + 1;
  EXPECT_EQ(copyOf(bad).error, EMSGSIZE);
  bad.msg_iovlen = 1;
  bad.msg_iov = static_cast<iovec*>(asPointer<iovec>(16));
  EXPECT_EQ(copyOf(bad).error, EFAULT) << "its vector";
  const iovec pointsNowhere{asPointer<char>(16), 10};
  bad.msg_iov = static_cast<iovec*>(asPointer<iovec>(memory.place(&pointsNowhere, sizeof pointsNowhere)));
  EXPECT_EQ(copyOf(bad).error, EFAULT) << "a buffer";
  const iovec huge[] = {{asPointer<char>(16), kMaxPayload}, {asPointer<char>(16), 1}};
  bad.msg_iov = static_cast<iovec*>(asPointer<iovec>(memory.place(huge, sizeof huge)));
  bad.msg_iovlen = 2;
  EXPECT_EQ(copyOf(bad).error, EMSGSIZE) << "more data than any datagram";
  const iovec wraps[] = {{asPointer<char>(16), SIZE_MAX}, {asPointer<char>(16), 2}};
  bad.msg_iov = static_cast<iovec*>(asPointer<iovec>(memory.place(wraps, sizeof wraps)));
  EXPECT_EQ(copyOf(bad).error, EMSGSIZE) << "lengths that wrap around";
  bad = h;
  bad.msg_control = asPointer<char>(16);
  bad.msg_controllen = kMaxControl + 1;
  EXPECT_EQ(copyOf(bad).error, ENOBUFS);
  bad.msg_controllen = 8;
  EXPECT_EQ(copyOf(bad).error, EFAULT);
}

TEST(TargetCallTest, MessageVectorIsBoundedAndCutWhereItsMemoryEnds) {
  FakeMemory memory;
  std::vector<mmsghdr> headers(3);
  headers[1].msg_hdr.msg_namelen = 16;
  const std::uint64_t at = memory.place(headers.data(), headers.size() * sizeof(mmsghdr));
  EXPECT_EQ(copyMessageVector(memory, at, 3).size(), 3u);
  EXPECT_EQ(copyMessageVector(memory, at, 3)[1].msg_hdr.msg_namelen, 16u);
  // The fake's gap after the region is unmapped: three headers readable.
  EXPECT_EQ(copyMessageVector(memory, at, 1000000).size(), 3u);
  EXPECT_TRUE(copyMessageVector(memory, 16, 5).empty());
  EXPECT_TRUE(copyMessageVector(memory, at, 0).empty());
  EXPECT_EQ(messageLengthAddress(at, 2), at + 2 * sizeof(mmsghdr) + offsetof(mmsghdr, msg_len));
}

TEST(CallTokenTest, OnlyThirtyTwoHexDigitsMakeAToken) {
  const auto token = parseCallToken("0123456789abcdefFEDCBA9876543210");
  ASSERT_TRUE(token);
  EXPECT_EQ(token->first, 0x0123456789abcdefULL);
  EXPECT_EQ(token->second, 0xfedcba9876543210ULL);
  EXPECT_FALSE(parseCallToken(""));
  EXPECT_FALSE(parseCallToken("0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(parseCallToken("0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(parseCallToken("0123456789abcdeg0123456789abcdef"));
}

}  // namespace
}  // namespace kst::launch
