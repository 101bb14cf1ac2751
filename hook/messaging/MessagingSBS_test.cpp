// The question services in one process: the prompt path with a scripted
// prompt, the small questions, and the log line.

#include "hook/messaging/MessagingSBS.h"

#include <gtest/gtest.h>

#include <future>

#include "hook/messaging/ServicesTesting.h"
#include "hook/rules/KstFiles.h"
#include "platform/fs/Utf16File.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using testing::PromptScript;

class MessagingSBSTest : public ::testing::Test {
 protected:
  MessagingSBSTest() { setKstPopUpFactory(script_.factory()); }
  ~MessagingSBSTest() override { setKstPopUpFactory({}); }

  KstServiceEnv env() {
    KstServiceEnv e;
    e.root = root_.root();
    e.flags = &flags_;
    return e;
  }
  std::string logPath() const { return root_.path(files::kLogPath); }
  std::optional<plist::Dictionary> log(MessagingSBS& sbs, const plist::Value& line) {
    const plist::Dictionary info{{std::string(msg::kLogStringKey), line}};
    return sbs.handleMessageNamed(msg::kLogMessage, &info);
  }

  testing::TempRoot root_;
  KstFlags flags_;
  PromptScript script_{flags_};
};

const plist::Dictionary kQuestion{{"host", "example.com"},
                                  {"port", "443"},
                                  {"orientation", 2},
                                  {"displayName", "Example"},
                                  {"theme", true},
                                  {"url", "https://example.com/x"},
                                  {"bundleIdentifier", "com.example.app"}};

TEST_F(MessagingSBSTest, QuestionReachesThePromptAndItsAnswerComesBackAsFourKeys) {
  MessagingSBS sbs(env());
  MessagingSBSUDP udp(env());
  const KstPopUpAnswer answer{msg::alwaysAllow, msg::kHostStarDot, msg::kOnlyThisPort, "example.com"};
  for (int i = 0; i < 4; ++i) script_.push(answer);

  EXPECT_EQ(sbs.handleMessageNamed(msg::kMessageForWindow, &kQuestion), testing::answerInfo(answer));
  EXPECT_EQ(udp.handleMessageNamed(msg::kMessageForWindowUDP, &kQuestion), testing::answerInfo(answer));
  // A question from SpringBoard itself gets the same four keys, host included.
  EXPECT_EQ(sbs.handleInSpringBoardWithUserInfo(&kQuestion), testing::answerInfo(answer));
  EXPECT_EQ(udp.handleInSpringBoardWithUserInfo(&kQuestion), testing::answerInfo(answer));

  plist::Dictionary seen = kQuestion;
  seen.set("overlapped", false);
  for (const plist::Value& q : script_.questions()) EXPECT_EQ(*q.asDictionary(), seen);
  EXPECT_FALSE(get(flags_.isShowingWindow));
}

TEST_F(MessagingSBSTest, MistypedOrMissingValuesReachThePromptAbsent) {
  MessagingSBS sbs(env());
  script_.push({msg::denyOnce, 0, 0, std::nullopt});
  script_.push({msg::denyOnce, 0, 0, std::nullopt});
  const plist::Dictionary bad{{"host", 5},
                              {"port", "443"},
                              {"orientation", "1"},
                              {"displayName", "A"},
                              {"theme", "yes"},
                              {"url", plist::Array{}},
                              {"bundleIdentifier", "com.example.app"}};
  // An answer without a host replies without "host".
  const plist::Dictionary noHost{{"whatToDo", 1}, {"andToDo", 0}, {"portToDo", 0}};
  EXPECT_EQ(sbs.handleMessageNamed(msg::kMessageForWindow, &bad), noHost);
  EXPECT_EQ(sbs.handleMessageNamed(msg::kMessageForWindow, nullptr), noHost);

  const plist::Array q = script_.questions();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(*q[0].asDictionary(), (plist::Dictionary{{"port", "443"},
                                                     {"displayName", "A"},
                                                     {"bundleIdentifier", "com.example.app"},
                                                     {"overlapped", false}}));
  EXPECT_EQ(*q[1].asDictionary(), (plist::Dictionary{{"overlapped", false}}));
}

TEST_F(MessagingSBSTest, IsShowingWindowIsTrueWhileThePromptWaitsAndFalseFromTheChoiceOn) {
  testing::LoopThread springBoard;
  auto sbs = std::make_unique<MessagingSBS>(env());
  auto udp = std::make_unique<MessagingSBSUDP>(env());
  bool served = false;
  springBoard.loop().performAndWait([&] { served = sbs->initSBSMessaging() && udp->initSBSMessaging(); });
  ASSERT_TRUE(served);
  auto window = MessagingCenter::centerNamed(std::string(msg::kWindowService), root_.root());
  auto windowUdp = MessagingCenter::centerNamed(std::string(msg::kWindowUDPService), root_.root());
  const plist::Dictionary showing{{"isShowingWindow", true}};
  const plist::Dictionary notShowing{{"isShowingWindow", false}};
  EXPECT_EQ(window->sendMessageAndReceiveReply("isShowingWindow", nullptr), notShowing);

  std::optional<plist::Dictionary> atChoice;
  script_.onChoice([&] { atChoice = sbs->handleMessageNamed(msg::kIsShowingWindow, nullptr); });
  auto asked = std::async(std::launch::async,
                          [&] { return window->sendMessageAndReceiveReply("messageForWindow", &kQuestion); });
  ASSERT_TRUE(testing::eventually([&] { return script_.waiting(); }));
  // Both services answer from the one flag, while the prompt runs the loop.
  EXPECT_EQ(window->sendMessageAndReceiveReply("isShowingWindow", nullptr), showing);
  EXPECT_EQ(windowUdp->sendMessageAndReceiveReply("isShowingWindow", nullptr), showing);

  const KstPopUpAnswer answer{msg::allowOnce, 0, 0, "example.com"};
  script_.push(answer);
  EXPECT_EQ(asked.get(), testing::answerInfo(answer));
  EXPECT_EQ(atChoice, notShowing);  // before the reply had left
  EXPECT_EQ(window->sendMessageAndReceiveReply("isShowingWindow", nullptr), notShowing);
  testing::destroyOn(springBoard, sbs);
  testing::destroyOn(springBoard, udp);
}

TEST_F(MessagingSBSTest, WithoutThePromptLibraryAQuestionIsAnsweredEmpty) {
  setKstPopUpFactory({});
  MessagingSBS sbs(env());
  MessagingSBSUDP udp(env());
  EXPECT_EQ(sbs.handleMessageNamed(msg::kMessageForWindow, &kQuestion), std::nullopt);
  EXPECT_EQ(udp.handleMessageNamed(msg::kMessageForWindowUDP, &kQuestion), std::nullopt);
  EXPECT_TRUE(sbs.handleInSpringBoardWithUserInfo(&kQuestion).empty());
  EXPECT_FALSE(get(flags_.isShowingWindow));
}

TEST_F(MessagingSBSTest, DeviceOrientationIsTheDevicesOwnValue) {
  KstServiceEnv e = env();
  MessagingSBS upright(e);
  EXPECT_EQ(upright.handleMessageNamed(msg::kGetDeviceOrientation, nullptr),
            (plist::Dictionary{{"deviceOrientation", 1}}));
  setDeviceOrientationProvider([] { return 3; });
  EXPECT_EQ(upright.handleMessageNamed(msg::kGetDeviceOrientation, nullptr),
            (plist::Dictionary{{"deviceOrientation", 3}}));
  setDeviceOrientationProvider({});
  e.deviceOrientation = [] { return 5; };
  EXPECT_EQ(MessagingSBSUDP(e).handleMessageNamed(msg::kGetDeviceOrientation, nullptr),
            (plist::Dictionary{{"deviceOrientation", 5}}));
}

TEST_F(MessagingSBSTest, OtherMessageNamesGetNothing) {
  MessagingSBS sbs(env());
  MessagingSBSUDP udp(env());
  const plist::Dictionary line{{std::string(msg::kLogStringKey), "x\n"}};
  EXPECT_EQ(sbs.handleMessageNamed(msg::kMessageForWindowUDP, &kQuestion), std::nullopt);
  EXPECT_EQ(udp.handleMessageNamed(msg::kMessageForWindow, &kQuestion), std::nullopt);
  EXPECT_EQ(udp.handleMessageNamed(msg::kLogMessage, &line), std::nullopt);
  EXPECT_EQ(sbs.handleMessageNamed("std.Rules", &kQuestion), std::nullopt);
  EXPECT_TRUE(script_.questions().empty());
  EXPECT_FALSE(FileSystem::real().exists(logPath()));  // only the TCP service logs
}

TEST_F(MessagingSBSTest, LogMessageCreatesTheFileThenAppends) {
  MessagingSBS sbs(env());
  EXPECT_EQ(log(sbs, "first\n"), std::nullopt);
  EXPECT_EQ(FileSystem::real().readFile(logPath()), utf16::encode("first\n"));
  log(sbs, "second\n");
  EXPECT_EQ(utf16::readFile(FileSystem::real(), logPath()), "first\nsecond\n");

  // A line that is no text is not written.
  log(sbs, 7);
  sbs.handleMessageNamed(msg::kLogMessage, nullptr);
  EXPECT_EQ(utf16::readFile(FileSystem::real(), logPath()), "first\nsecond\n");
}

TEST_F(MessagingSBSTest, LogLineIsDroppedWhenTheFileIsNotUtf16Text) {
  MessagingSBS sbs(env());
  FileSystem& fs = FileSystem::real();
  for (const std::string& bad : {std::string("utf-8 text\n"), std::string("\xFF\xFE"
                                                                          "a",
                                                                          3)}) {
    ASSERT_TRUE(fs.writeFileAtomic(logPath(), bad, true));
    log(sbs, "line\n");
    EXPECT_EQ(fs.readFile(logPath()), bad);
  }
}

}  // namespace
}  // namespace kst
