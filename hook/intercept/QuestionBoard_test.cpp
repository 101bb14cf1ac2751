#include "hook/intercept/QuestionBoard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace kst {
namespace {

const QuestionKey kShop{"shop.example", 443};
const QuestionKey kShopOtherPort{"shop.example", 80};
const QuestionKey kTracker{"ads.tracker.example", 443};

TEST(QuestionBoardTest, AnswerGoesToCallsThatStartedBeforeItOnly) {
  QuestionBoard board;
  const auto before = board.ticket();
  board.show(kShop);
  board.answer(true);
  EXPECT_EQ(board.answerSince(kShop, before), std::optional<bool>(true));
  EXPECT_EQ(board.answerSince(kShopOtherPort, before), std::nullopt);
  EXPECT_EQ(board.answerSince(kTracker, before), std::nullopt);
  EXPECT_EQ(board.answerSince(kShop, board.ticket()), std::nullopt) << "a later call asks anew";
}

TEST(QuestionBoardTest, NewestAnswerAboutADestinationCounts) {
  QuestionBoard board;
  const auto before = board.ticket();
  board.show(kShop);
  board.answer(true);
  board.show(kTracker);
  board.answer(false);
  board.show(kShop);
  board.answer(false);
  EXPECT_EQ(board.answerSince(kShop, before), std::optional<bool>(false));
  EXPECT_EQ(board.answerSince(kTracker, before), std::optional<bool>(false));
}

TEST(QuestionBoardTest, OnlyTheLatestAnswersAreRemembered) {
  QuestionBoard board;
  const auto before = board.ticket();
  board.show(kShop);
  board.answer(true);
  for (std::size_t i = 0; i < QuestionBoard::kRemembered; ++i) {
    board.show(kTracker);
    board.answer(false);
  }
  EXPECT_EQ(board.answerSince(kShop, before), std::nullopt);
  EXPECT_EQ(board.answerSince(kTracker, before), std::optional<bool>(false));
}

TEST(QuestionBoardTest, AnswerWithoutAQuestionShownChangesNothing) {
  QuestionBoard board;
  const auto before = board.ticket();
  board.answer(true);
  EXPECT_EQ(board.ticket(), before);
}

TEST(QuestionBoardTest, CallsForTheShownDestinationWaitForItsAnswerOthersDoNot) {
  QuestionBoard board;
  board.show(kShop);
  const auto since = board.ticket();
  EXPECT_EQ(board.awaitWhileShown(kTracker, since), std::nullopt) << "another host does not wait here";
  std::atomic<int> took{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 6; ++i)
    waiters.emplace_back([&] {
      if (board.awaitWhileShown(kShop, since) == std::optional<bool>(true)) ++took;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(took.load(), 0) << "nobody goes before the answer";
  board.answer(true);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(took.load(), 6);
}

TEST(QuestionBoardTest, WithdrawnQuestionReleasesItsWaitersWithoutAnAnswer) {
  QuestionBoard board;
  const auto since = board.ticket();
  std::optional<bool> got{true};
  auto shown = std::make_unique<ShownQuestion>(board, kShop);
  std::thread waiter([&] { got = board.awaitWhileShown(kShop, since); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  shown.reset();  // unanswered: the asker failed
  waiter.join();
  EXPECT_EQ(got, std::nullopt);
  EXPECT_EQ(board.ticket(), since);
}

}  // namespace
}  // namespace kst
