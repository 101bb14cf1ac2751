// What the bounded client costs: one waiting exchange and one one-way send
// with the limits, the back-off check and the descriptor identity checks,
// side by side with the same exchange done the plain blocking way (connect,
// write, read, no limits), against one server on a run loop of another
// thread of this process.
#include <benchmark/benchmark.h>

#include "platform/messaging/ClientExchange.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

const plist::Dictionary kQuestion{{"host", "api.example.com"},
                                  {"port", "443"},
                                  {"orientation", 0},
                                  {"displayName", "Example"},
                                  {"theme", 0},
                                  {"url", " "},
                                  {"bundleIdentifier", "com.example.app"}};

struct Service {
  testing::TempRoot temp;
  testing::LoopThread loop;
  std::shared_ptr<MessagingCenter> center = loop.serve(
      temp.root(), "svc",
      {{"ask",
        [](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
          return plist::Dictionary{{"whatToDo", 0}, {"host", "api.example.com"}};
        }},
       {"note", [](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
          return std::nullopt;
        }}});
  std::string path = center ? center->socketPath() : std::string();
};

std::string frame(const char* name, bool wantsReply) {
  return *messaging::encodeRequest(messaging::Request{name, kQuestion, wantsReply});
}

// The exchange as it was before the limits: blocking all the way.
plist::Dictionary plainExchange(const std::string& path, const std::string& request) {
  messaging::UniqueFd fd = messaging::connectStream(path);
  if (!fd.valid() || !messaging::writeAll(fd.get(), request)) return {};
  char head[messaging::kFrameHeaderSize];
  if (!messaging::readExact(fd.get(), head, sizeof head)) return {};
  const auto length = messaging::bodyLength(std::string_view(head, sizeof head));
  if (!length) return {};
  std::string body(*length, '\0');
  if (!messaging::readExact(fd.get(), body.data(), body.size())) return {};
  return messaging::decodeReply(body).value_or(plist::Dictionary());
}

void BM_WaitingPlain(benchmark::State& state) {
  Service service;
  const std::string request = frame("ask", true);
  for (auto _ : state)
    if (plainExchange(service.path, request).size() != 2) state.SkipWithError("wrong reply");
}
BENCHMARK(BM_WaitingPlain)->UseRealTime();

void BM_WaitingBounded(benchmark::State& state) {
  Service service;
  const std::string request = frame("ask", true);
  for (auto _ : state) {
    const auto got = messaging::exchange(service.path, request, messaging::kDefaultExchangeLimits,
                                         messaging::ReplyWait::kBounded);
    if (got.reply.size() != 2) state.SkipWithError("wrong reply");
  }
}
BENCHMARK(BM_WaitingBounded)->UseRealTime();

void BM_QuestionWhilePeerLives(benchmark::State& state) {
  Service service;
  const std::string request = frame("ask", true);
  for (auto _ : state) {
    const auto got = messaging::exchange(service.path, request, messaging::kDefaultExchangeLimits,
                                         messaging::ReplyWait::kWhilePeerLives);
    if (got.reply.size() != 2) state.SkipWithError("wrong reply");
  }
}
BENCHMARK(BM_QuestionWhilePeerLives)->UseRealTime();

void BM_OneWayPlain(benchmark::State& state) {
  Service service;
  const std::string request = frame("note", false);
  for (auto _ : state) {
    messaging::UniqueFd fd = messaging::connectStream(service.path);
    if (!fd.valid() || !messaging::writeAll(fd.get(), request)) state.SkipWithError("send failed");
  }
}
BENCHMARK(BM_OneWayPlain)->UseRealTime();

void BM_OneWayBounded(benchmark::State& state) {
  Service service;
  const std::string request = frame("note", false);
  for (auto _ : state) {
    const auto outcome = messaging::sendOneWay(service.path, request);
    // A full backlog (the server cannot keep up with this loop) drops the
    // note by design; only count the others as errors.
    if (outcome != messaging::Outcome::kDone && outcome != messaging::Outcome::kTimedOut)
      state.SkipWithError("send failed");
  }
}
BENCHMARK(BM_OneWayBounded)->UseRealTime();

// A service that timed out: what each later call costs during its back-off.
void BM_BackedOffCall(benchmark::State& state) {
  testing::TempRoot temp;
  messaging::ensureRunFolder(temp.root());
  const std::string path = messaging::runFolder(temp.root()) + "/hung";
  messaging::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto addr = messaging::SocketAddress::forPath(path);
  ::bind(listener.get(), addr->get(), addr->size());
  ::listen(listener.get(), 8);
  const messaging::ExchangeLimits limits{std::chrono::milliseconds(50), std::chrono::milliseconds(50),
                                         std::chrono::milliseconds(50), std::chrono::hours(1)};
  const std::string request = frame("ask", true);
  messaging::clearBackOffs();
  messaging::exchange(path, request, limits, messaging::ReplyWait::kBounded);  // times out once
  for (auto _ : state) {
    if (messaging::exchange(path, request, limits, messaging::ReplyWait::kBounded).outcome !=
        messaging::Outcome::kBackedOff)
      state.SkipWithError("not backed off");
  }
  messaging::clearBackOffs();
}
BENCHMARK(BM_BackedOffCall);

}  // namespace
}  // namespace kst

BENCHMARK_MAIN();
