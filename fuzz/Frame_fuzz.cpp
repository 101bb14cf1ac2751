// Feeds the services' frame decoder: the first byte picks how the rest is cut
// into reads, as a non-blocking socket would deliver it; a complete frame is
// decoded as a request and as a reply, and a request that decodes must read
// back after encoding it again (values may be normalised on the way: NaN,
// duplicate keys, date precision, so only the envelope is compared).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/messaging/Frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kst::messaging;
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  FrameReader reader;
  while (!bytes.empty() && reader.state() == FrameReader::State::kNeedMore) {
    const std::size_t n = piece < bytes.size() ? piece : bytes.size();
    reader.feed(bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
  if (reader.state() != FrameReader::State::kComplete) return 0;

  (void)decodeReply(reader.body());
  const auto request = decodeRequest(reader.body());
  if (!request) return 0;
  const auto again = encodeRequest(*request);
  if (!again) return 0;  // a body within the limit may still grow when re-encoded
  const auto back = decodeRequest(std::string_view(*again).substr(kFrameHeaderSize));
  if (!back || back->name != request->name || back->wantsReply != request->wantsReply ||
      back->userInfo.has_value() != request->userInfo.has_value())
    std::abort();
  return 0;
}
