#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace kst {

// What a question asks about, as the prompt shows it.
struct QuestionKey {
  std::string host;
  int port = 0;
  bool operator==(const QuestionKey& other) const { return port == other.port && host == other.host; }
};

// The questions of one protocol in one process, seen by the calls that wait
// behind them. A burst of calls to one destination (a browser's six
// connections to a site, the threads of a pool) raises one prompt: a call
// that waits while the question about its destination is on screen takes
// that question's answer, "Once" included, instead of asking again. A call
// that starts after the answer asks anew.
//
// A call notes a ticket when it starts to wait; the answers given after its
// ticket are the ones it may take. The latest kRemembered answers are kept
// with their order numbers, so a call that waited behind a question about
// another host still finds the one about its own.
class QuestionBoard {
 public:
  using Ticket = std::uint64_t;
  static constexpr std::size_t kRemembered = 16;

  QuestionBoard() = default;
  QuestionBoard(const QuestionBoard&) = delete;
  QuestionBoard& operator=(const QuestionBoard&) = delete;

  // The number of answers given so far.
  Ticket ticket() const;
  // Whether the answer to a question about `key` given after `since`
  // allowed it; nothing when no such answer is remembered.
  std::optional<bool> answerSince(const QuestionKey& key, Ticket since) const;
  // Waits while the question about `key` is on screen, then answerSince().
  // Returns at once when another question, or none, is on screen.
  std::optional<bool> awaitWhileShown(const QuestionKey& key, Ticket since);

  // The asker's part: the question about `key` is on screen until answer()
  // or withdraw() (the asker failed; the waiting calls go on to ask).
  void show(const QuestionKey& key);
  void answer(bool allowed);
  void withdraw();

 private:
  struct Answer {
    QuestionKey key;
    Ticket number = 0;
    bool allowed = false;
  };

  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::optional<QuestionKey> shown_;
  Ticket answers_ = 0;
  std::array<Answer, kRemembered> recent_{};

  std::optional<bool> answerSinceLocked(const QuestionKey& key, Ticket since) const;
};

// Puts a question on the board for its scope; withdrawn unless answered.
class ShownQuestion {
 public:
  ShownQuestion(QuestionBoard& board, const QuestionKey& key) : board_(board) { board_.show(key); }
  ~ShownQuestion() {
    if (!answered_) board_.withdraw();
  }
  ShownQuestion(const ShownQuestion&) = delete;
  ShownQuestion& operator=(const ShownQuestion&) = delete;
  void answer(bool allowed) {
    board_.answer(allowed);
    answered_ = true;
  }

 private:
  QuestionBoard& board_;
  bool answered_ = false;
};

}  // namespace kst
