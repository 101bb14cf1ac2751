// Feeds the supervisor's copying of what a supervised program hands it: the
// input is the program's memory (one region at kBase) followed by nothing
// else; its first bytes choose the call's arguments (pointers that may point
// into the region, anywhere else, or across its end; lengths and counts of
// any size). Whatever is copied must respect the kernel's and the
// supervisor's bounds, and every judged address is read within its copy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hook/intercept/JudgedAddress.h"
#include "tools/launch/TargetCall.h"

namespace {

constexpr std::uint64_t kBase = 0x10000;
constexpr std::size_t kArgs = 3;

class InputMemory : public kst::launch::TargetMemory {
 public:
  InputMemory(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool read(std::uint64_t address, void* out, std::size_t length) override {
    if (address < kBase || address - kBase > size_ || size_ - (address - kBase) < length) return false;
    std::memcpy(out, data_ + (address - kBase), length);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

void judge(const sockaddr_storage& storage, socklen_t length) {
  if (length > sizeof storage) std::abort();
  const auto judged = kst::judgedAddress(reinterpret_cast<const sockaddr*>(&storage), length);
  if (judged && judged->family() != AF_INET && judged->family() != AF_INET6) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + kArgs * sizeof(std::uint64_t)) return 0;
  std::uint64_t args[kArgs];
  std::memcpy(args, data + 1, sizeof args);
  InputMemory memory(data, size);
  using namespace kst::launch;
  switch (data[0] % 3) {
    case 0: {
      const CopiedAddress copy = copyAddress(memory, args[0], args[1]);
      if (copy.error == 0) judge(copy.storage, copy.length);
      break;
    }
    case 1: {
      const CopiedMessage m = copyMessage(memory, args[0], (args[1] & 1) != 0);
      if (m.error != 0) break;
      if (m.payload.size() > kMaxPayload || m.control.size() > kMaxControl) std::abort();
      if (m.hasName) judge(m.name, m.nameLength);
      break;
    }
    default: {
      const auto headers = copyMessageVector(memory, args[0], args[1]);
      if (headers.size() > kMaxMessages) std::abort();
      for (std::size_t i = 0; i < headers.size() && i < 8; ++i) {
        const CopiedMessage m = copyMessage(memory, args[0] + i * sizeof(mmsghdr), true);
        if (m.error == 0 && m.hasName) judge(m.name, m.nameLength);
      }
      break;
    }
  }
  return 0;
}
