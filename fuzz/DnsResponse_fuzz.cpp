// Feeds the DNS response parser the receive replacements use: the first
// byte picks whether the rest is one datagram or a TCP stream (messages
// behind a 2-byte length) cut into reads of 1 to 64 bytes. Whatever reads
// must hold: a non-empty question of at most 1024 bytes, and between one
// and KstLookedUpNames::kSlots distinct addresses. The question reader the
// supervisor's DNS forwarder matches answers with gets every message too,
// and must agree with the response parser on the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hook/intercept/DnsResponse.h"
#include "hook/intercept/DnsSockets.h"

namespace {

void check(const unsigned char* message, std::size_t length) {
  const auto question = kst::parseDnsQuestion(message, length);
  if (question && (question->name.empty() || question->name.size() > 1024)) std::abort();
  const auto answer = kst::parseDnsResponse(message, length);
  if (!answer) return;
  if (!question || question->name != answer->question) std::abort();
  if (answer->question.empty() || answer->question.size() > 1024) std::abort();
  if (answer->addresses.empty() || answer->addresses.size() > kst::KstLookedUpNames::kSlots) std::abort();
  for (std::size_t i = 0; i < answer->addresses.size(); ++i) {
    for (std::size_t j = i + 1; j < answer->addresses.size(); ++j) {
      if (answer->addresses[i] == answer->addresses[j]) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool stream = (data[0] & 0x80) != 0;
  const std::size_t piece = 1 + data[0] % 64;
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!stream) {
    check(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return 0;
  }
  constexpr int kFd = 7;
  while (!bytes.empty()) {
    const std::size_t n = piece < bytes.size() ? piece : bytes.size();
    kst::dnsSockets().addStreamBytes(kFd, bytes.substr(0, n), &check);
    bytes.remove_prefix(n);
  }
  kst::dnsSockets().clear(kFd);
  return 0;
}
