#include "hook/messaging/PromptQueue.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "hook/messaging/MessageValues.h"
#include "hook/messaging/PromptQuestion.h"
#include "hook/rules/KstMessageNames.h"

namespace kst {

PromptQueue& PromptQueue::process() {
  static PromptQueue* queue = new PromptQueue();  // asked by hooks after static destructors
  return *queue;
}

plist::Dictionary PromptQueue::timeOutAnswer(const plist::Dictionary* question) {
  KstPopUpAnswer answer;
  answer.whatToDo = msg::denyOnce;
  answer.host = msg::stringValue(question, msg::kHostKey);
  return prompt_question::answerDictionary(answer);
}

std::uint64_t PromptQueue::enqueue(KstFlags& flags, std::optional<plist::Dictionary> question, Asker asker) {
  std::deque<Waiting>& mine = byAsker_[asker.key];
  if (count_ >= kMaxWaiting || mine.size() >= kMaxWaitingPerAsker) {
    if (mine.empty()) byAsker_.erase(asker.key);
    if (asker.answer) asker.answer(timeOutAnswer(question ? &*question : nullptr));
    return 0;
  }
  if (mine.empty()) turns_.push_back(asker.key);
  const std::uint64_t id = nextId_++;
  mine.push_back(Waiting{id, &flags, std::move(question), std::move(asker)});
  ++count_;
  if (RunLoop* current = RunLoop::current()) loop_ = current;
  schedule();
  return id;
}

std::optional<PromptQueue::Waiting> PromptQueue::takeNext() {
  while (!turns_.empty()) {
    // Whoever was asked last waits while anyone else waits.
    if (turns_.size() > 1 && turns_.front() == lastKey_) {
      turns_.push_back(turns_.front());
      turns_.pop_front();
    }
    const std::uint64_t key = turns_.front();
    turns_.pop_front();
    auto it = byAsker_.find(key);
    if (it == byAsker_.end() || it->second.empty()) {
      if (it != byAsker_.end()) byAsker_.erase(it);
      continue;
    }
    lastKey_ = key;
    Waiting next = std::move(it->second.front());
    it->second.pop_front();
    --count_;
    if (it->second.empty()) {
      byAsker_.erase(it);
    } else {
      turns_.push_back(key);
    }
    return next;
  }
  return std::nullopt;
}

void PromptQueue::askerLeft(std::uint64_t id) {
  if (id == 0) return;
  if (showing_ && id == onScreenId_) {
    onScreenLeft_ = true;
    if (onScreen_ != nullptr) onScreen_->dismiss();
    return;
  }
  for (auto it = byAsker_.begin(); it != byAsker_.end(); ++it) {
    std::deque<Waiting>& line = it->second;
    for (auto w = line.begin(); w != line.end(); ++w) {
      if (w->id != id) continue;
      line.erase(w);
      --count_;
      if (line.empty()) {
        std::erase(turns_, it->first);
        byAsker_.erase(it);
      }
      return;
    }
  }
}

void PromptQueue::schedule() {
  if (scheduled_ || showing_ || count_ == 0 || loop_ == nullptr) return;
  scheduled_ = true;
  loop_->perform([this] {
    scheduled_ = false;
    showNext();
  });
}

void PromptQueue::showNext() {
  // Only from the loop's own turn, never inside a prompt's wait.
  while (!showing_) {
    std::optional<Waiting> next = takeNext();
    if (!next) return;
    // An asker that went away is skipped: the next prompt shows at once.
    if (next->asker.gone && next->asker.gone()) continue;
    const std::optional<plist::Dictionary> answer =
        show(*next->flags, next->question ? &*next->question : nullptr, next->id);
    if (!onScreenLeft_ && next->asker.answer) next->asker.answer(answer);
    onScreenLeft_ = false;
    schedule();  // the rest from the loop's next turn
    return;
  }
}

std::optional<plist::Dictionary> PromptQueue::show(KstFlags& flags, const plist::Dictionary* question,
                                                   std::uint64_t id) {
  std::unique_ptr<KstPopUp> popUp = makeKstPopUp();
  if (!popUp) return std::nullopt;
  showing_ = true;
  onScreenId_ = id;
  onScreen_ = popUp.get();
  set(flags.isShowingWindow, true);
  const KstPopUpAnswer answer = prompt_question::askWith(*popUp, question);
  set(flags.isShowingWindow, false);
  onScreen_ = nullptr;
  onScreenId_ = 0;
  showing_ = false;
  popUp.reset();
  return prompt_question::answerDictionary(answer);
}

std::optional<plist::Dictionary> PromptQueue::askHere(KstFlags& flags, const plist::Dictionary* question) {
  if (showing_) return std::nullopt;
  std::optional<plist::Dictionary> answer = show(flags, question, 0);
  // Questions that came meanwhile show from this thread's loop, if it has one.
  if (RunLoop* current = RunLoop::current()) {
    loop_ = current;
    schedule();
  }
  return answer;
}

std::optional<plist::Dictionary> PromptQueue::ask(KstFlags& flags, RunLoop& loop,
                                                  const plist::Dictionary* question) {
  if (loop.isLoopThread()) return askHere(flags, question);
  struct Slot {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::optional<plist::Dictionary> answer;
  };
  auto slot = std::make_shared<Slot>();
  std::optional<plist::Dictionary> copy;
  if (question != nullptr) copy = *question;
  loop.perform([this, &flags, slot, copy = std::move(copy)]() mutable {
    Asker asker;
    asker.answer = [slot](const std::optional<plist::Dictionary>& answer) {
      std::lock_guard lock(slot->mu);
      slot->answer = answer;
      slot->done = true;
      slot->cv.notify_all();
    };
    enqueue(flags, std::move(copy), std::move(asker));
  });
  std::unique_lock lock(slot->mu);
  slot->cv.wait(lock, [&] { return slot->done; });
  return std::move(slot->answer);
}

}  // namespace kst
