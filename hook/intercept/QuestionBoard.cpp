#include "hook/intercept/QuestionBoard.h"

namespace kst {

QuestionBoard::Ticket QuestionBoard::ticket() const {
  std::lock_guard<std::mutex> lock(mu_);
  return answers_;
}

std::optional<bool> QuestionBoard::answerSinceLocked(const QuestionKey& key, Ticket since) const {
  // Newest first: a later answer about the same destination overrides.
  for (Ticket n = answers_; n > since && answers_ - n < kRemembered; --n) {
    const Answer& a = recent_[n % kRemembered];
    if (a.number == n && a.key == key) return a.allowed;
  }
  return std::nullopt;
}

std::optional<bool> QuestionBoard::answerSince(const QuestionKey& key, Ticket since) const {
  std::lock_guard<std::mutex> lock(mu_);
  return answerSinceLocked(key, since);
}

std::optional<bool> QuestionBoard::awaitWhileShown(const QuestionKey& key, Ticket since) {
  std::unique_lock<std::mutex> lock(mu_);
  // As long as the asker waits: it answers or withdraws the question when
  // its exchange with SpringBoard ends.
  changed_.wait(lock, [&] { return !shown_ || !(*shown_ == key); });
  return answerSinceLocked(key, since);
}

void QuestionBoard::show(const QuestionKey& key) {
  std::lock_guard<std::mutex> lock(mu_);
  shown_ = key;
}

void QuestionBoard::answer(bool allowed) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!shown_) return;
    ++answers_;
    recent_[answers_ % kRemembered] = Answer{std::move(*shown_), answers_, allowed};
    shown_.reset();
  }
  changed_.notify_all();
}

void QuestionBoard::withdraw() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    shown_.reset();
  }
  changed_.notify_all();
}

}  // namespace kst
