// SpringBoard's line of prompt questions, through its real sockets: a
// SpringBoard stand-in process with a scripted prompt, and askers that are
// processes of their own (or connections of this one) speaking the wire
// format directly, so that they can hang up, half-close or flood.

#include "hook/messaging/PromptQueue.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <set>

#include "hook/messaging/ServicesTesting.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/UnixSocket.h"

namespace kst {
namespace {

using testing::SpringBoardProcess;

constexpr double kReplyWait = 30.0;
constexpr int kPollStepMs = 100;

plist::Dictionary question(const std::string& host) {
  return plist::Dictionary{{"host", host}, {"port", "443"}, {"displayName", "App"}};
}

// One question on a connection of its own, as an asking process puts it;
// the connection stays open for the reply.
class RawQuestion {
 public:
  RawQuestion(const DeviceRoot& root, const plist::Dictionary& info) {
    messaging::Request request;
    request.name = std::string(msg::kMessageForWindow);
    request.userInfo = info;
    request.wantsReply = true;
    const std::optional<std::string> frame = messaging::encodeRequest(request);
    fd_ = messaging::connectStream(messaging::runFolder(root) + "/" + std::string(msg::kWindowService),
                                   std::chrono::milliseconds(5000));
    sent_ = frame && fd_.valid() && messaging::writeAll(fd_.get(), *frame);
  }
  bool sent() const { return sent_; }
  int fd() const { return fd_.get(); }
  // A reply (or the hang-up) is there to read.
  bool ready() const {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }
  // The reply once the service closed the connection after it; nothing when
  // it closed without one, or `seconds` passed.
  std::optional<plist::Dictionary> reply(double seconds = kReplyWait) {
    std::string bytes;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, kPollStepMs) > 0) {
        char buf[4096];
        const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
      } else if (std::chrono::steady_clock::now() > until) {
        return std::nullopt;
      }
    }
    if (bytes.size() < 4) return std::nullopt;
    return messaging::decodeReply(std::string_view(bytes).substr(4));
  }
  void hangUp() { fd_.reset(); }
  void shutDownSending() { ::shutdown(fd_.get(), SHUT_WR); }

 private:
  messaging::UniqueFd fd_;
  bool sent_ = false;
};

// An asker in a process of its own: asks, writes the reply's bytes (as XML)
// to `replyFile`, exits.
class AskerProcess {
 public:
  AskerProcess(const DeviceRoot& root, const std::string& host, const std::string& replyFile)
      : process_([&](int readyFd) {
          RawQuestion q(root, question(host));
          testing::ForkedProcess::signalReady(readyFd, q.sent());
          const std::optional<plist::Dictionary> r = q.reply();
          const std::optional<std::string> xml = r ? plist::encodeXml(plist::Value(*r)) : std::nullopt;
          std::ofstream(replyFile) << (xml ? *xml : std::string("none"));
          ::_exit(0);
        }) {}
  bool ok() const { return process_.ok(); }

 private:
  testing::ForkedProcess process_;
};

class PromptQueueTest : public testing::ServicesFixture {
 protected:
  std::string hostOf(const plist::Value& q) const {
    const std::string* h = q.asDictionary()->string("host");
    return h != nullptr ? *h : std::string();
  }
  // Waits until prompt number `n` (from 1) shows and returns its host.
  std::string promptNumber(const SpringBoardProcess& sb, std::size_t n) {
    plist::Array q;
    EXPECT_TRUE(testing::eventually([&] {
      q = sb.questions();
      return q.size() >= n && sb.waiting();
    })) << "prompt "
        << n << " never showed";
    return q.size() >= n ? hostOf(q[n - 1]) : std::string();
  }
  static KstPopUpAnswer answerFor(const std::string& host, int code) {
    return KstPopUpAnswer{code, 0, 0, host};
  }
  std::optional<plist::Dictionary> fileReply(const std::string& path) {
    std::ifstream in(path);
    const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (xml.empty() || xml == "none") return std::nullopt;
    std::optional<plist::Value> v = plist::decode(xml);
    if (!v || v->asDictionary() == nullptr) return std::nullopt;
    return *v->asDictionary();
  }
};

TEST_F(PromptQueueTest, FiftyAskersAtOnceAreShownOneAtATimeAndEachAnswerReachesItsAsker) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  constexpr int kAskers = 50;
  std::vector<std::unique_ptr<AskerProcess>> askers;
  for (int i = 0; i < kAskers; ++i) {
    askers.push_back(std::make_unique<AskerProcess>(root_.root(), "h" + std::to_string(i) + ".example",
                                                    root_.dir() + "/reply-" + std::to_string(i)));
    ASSERT_TRUE(askers.back()->ok());
  }
  // Each prompt is answered with its own host, allowed or denied by the
  // asker's number, so a reply that reached the wrong asker shows.
  for (int n = 1; n <= kAskers; ++n) {
    const std::string host = promptNumber(sb, static_cast<std::size_t>(n));
    ASSERT_FALSE(host.empty());
    const int i = std::stoi(host.substr(1));
    sb.answer(answerFor(host, i % 2 == 0 ? msg::allowOnce : msg::denyOnce));
  }
  for (int i = 0; i < kAskers; ++i) {
    const std::string path = root_.dir() + "/reply-" + std::to_string(i);
    ASSERT_TRUE(testing::eventually([&] { return fileReply(path).has_value(); })) << "asker " << i;
    const plist::Dictionary r = *fileReply(path);
    EXPECT_EQ(*r.string("host"), "h" + std::to_string(i) + ".example");
    EXPECT_EQ(msg::integerValue(&r, msg::kWhatToDoKey), i % 2 == 0 ? msg::allowOnce : msg::denyOnce);
  }
  // Every question shown once, none over another.
  const plist::Array shown = sb.questions();
  ASSERT_EQ(shown.size(), static_cast<std::size_t>(kAskers));
  std::set<std::string> hosts;
  for (const plist::Value& q : shown) {
    hosts.insert(hostOf(q));
    EXPECT_EQ(*q.asDictionary()->find("overlapped"), plist::Value(false)) << hostOf(q);
  }
  EXPECT_EQ(hosts.size(), static_cast<std::size_t>(kAskers));
}

TEST_F(PromptQueueTest, AnAskerThatLeavesIsSkippedOrItsPromptClosesAndTheNextShows) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  RawQuestion a(root_.root(), question("a.example"));
  ASSERT_TRUE(a.sent());
  ASSERT_EQ(promptNumber(sb, 1), "a.example");
  RawQuestion b(root_.root(), question("b.example"));
  RawQuestion c(root_.root(), question("c.example"));
  RawQuestion d(root_.root(), question("d.example"));
  ASSERT_TRUE(b.sent() && c.sent() && d.sent());
  // Whether the service has read them: "isShowingWindow" is served after.
  send(msg::kWindowService, "isShowingWindow");

  b.hangUp();           // waiting in line
  d.shutDownSending();  // half-closed: still reads, still answered
  a.hangUp();           // on screen: its prompt closes, nobody is answered
  ASSERT_EQ(promptNumber(sb, 2), "c.example");
  const plist::Dictionary state = sb.control("state");
  EXPECT_EQ(msg::integerValue(&state, "dismissals"), 1);
  sb.answer(answerFor("c.example", msg::alwaysDeny));
  const std::optional<plist::Dictionary> toC = c.reply();
  ASSERT_TRUE(toC);
  EXPECT_EQ(msg::integerValue(&*toC, msg::kWhatToDoKey), msg::alwaysDeny);

  ASSERT_EQ(promptNumber(sb, 3), "d.example");
  sb.answer(answerFor("d.example", msg::allowOnce));
  const std::optional<plist::Dictionary> toD = d.reply();
  ASSERT_TRUE(toD);
  EXPECT_EQ(*toD->string("host"), "d.example");
  EXPECT_EQ(sb.questions().size(), 3u);  // b never showed
}

TEST_F(PromptQueueTest, AFloodFromOneProcessIsBoundedAndOthersTakeTheirTurns) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  constexpr std::size_t kFlood = 1000;
  std::vector<std::unique_ptr<RawQuestion>> flood;
  for (std::size_t i = 0; i < kFlood; ++i) {
    flood.push_back(
        std::make_unique<RawQuestion>(root_.root(), question("f" + std::to_string(i) + ".example")));
    ASSERT_TRUE(flood.back()->sent()) << i;
  }
  // Beyond its share of the line, each gets the time-out's answer at once.
  const std::size_t waitingShare = PromptQueue::kMaxWaitingPerAsker + 1;  // one more is on screen
  std::size_t answeredAtOnce = 0;
  ASSERT_TRUE(testing::eventually([&] {
    answeredAtOnce = 0;
    for (const auto& q : flood) answeredAtOnce += q->ready() ? 1 : 0;
    return answeredAtOnce >= kFlood - waitingShare;
  }));
  std::set<std::size_t> waiting;
  for (std::size_t i = 0; i < kFlood; ++i) {
    if (!flood[i]->ready()) {
      waiting.insert(i);
      continue;
    }
    const std::optional<plist::Dictionary> r = flood[i]->reply();
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(msg::integerValue(&*r, msg::kWhatToDoKey), msg::denyOnce);
    EXPECT_EQ(*r->string("host"), "f" + std::to_string(i) + ".example");
  }
  EXPECT_LE(waiting.size(), waitingShare);

  // Another process asks now: it comes right after the prompt on screen.
  AskerProcess other(root_.root(), "other.example", root_.dir() + "/reply-other");
  ASSERT_TRUE(other.ok());
  send(msg::kWindowService, "isShowingWindow");
  const std::string first = promptNumber(sb, 1);
  sb.answer(answerFor(first, msg::allowOnce));
  ASSERT_EQ(promptNumber(sb, 2), "other.example");
  sb.answer(answerFor("other.example", msg::allowSession));
  ASSERT_TRUE(testing::eventually([&] { return fileReply(root_.dir() + "/reply-other").has_value(); }));
  const plist::Dictionary toOther = *fileReply(root_.dir() + "/reply-other");
  EXPECT_EQ(msg::integerValue(&toOther, msg::kWhatToDoKey), msg::allowSession);

  // The rest of the flood's share is still answered, each to its asker.
  for (std::size_t n = 3; n <= waiting.size() + 1; ++n) {
    const std::string host = promptNumber(sb, n);
    sb.answer(answerFor(host, msg::allowOnce));
  }
  for (std::size_t i : waiting) {
    const std::optional<plist::Dictionary> r = flood[i]->reply();
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(*r->string("host"), "f" + std::to_string(i) + ".example");
    EXPECT_EQ(msg::integerValue(&*r, msg::kWhatToDoKey), msg::allowOnce);
  }
  EXPECT_EQ(sb.questions().size(), waiting.size() + 1);
}

}  // namespace
}  // namespace kst
