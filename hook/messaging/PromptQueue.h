#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>

#include "hook/messaging/KstPopUp.h"
#include "hook/rules/KstFlags.h"
#include "platform/plist/PlistValue.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

// SpringBoard's line of prompt questions, shared by the TCP and the UDP
// question service: one prompt on screen at a time, the next shown only
// when the one before is answered and gone, each answer to the asker of its
// own question. Questions that arrive while a prompt waits join the line
// and return at once, so no prompt is ever built inside another's wait.
// Askers take turns (one question of each waiting process in turn), so a
// process that floods the line holds up nobody else for long.
//
// Main-loop thread of SpringBoard only, except ask(), which any thread may
// call.
class PromptQueue {
 public:
  // Most questions waiting at once, and from one asking process. A question
  // beyond either gets the time-out's answer (deny once) at once.
  static constexpr std::size_t kMaxWaiting = 128;
  static constexpr std::size_t kMaxWaitingPerAsker = 32;

  // Who waits for an answer.
  struct Asker {
    // Called once with the answer dictionary, or nothing when no prompt
    // could be shown (no prompt library): the empty reply.
    std::function<void(const std::optional<plist::Dictionary>& answer)> answer;
    // Whether it went away meanwhile (empty: never).
    std::function<bool()> gone;
    // Whose question: the asking process. Askers with one key take turns
    // with the others.
    std::uint64_t key = 0;
  };

  // The process's line.
  static PromptQueue& process();

  // Puts the question in line; it is shown when its turn comes, from the
  // calling thread's run loop. Returns its number, or 0 when it was
  // answered at once (line full).
  std::uint64_t enqueue(KstFlags& flags, std::optional<plist::Dictionary> question, Asker asker);
  // The asker of question `id` went away: the question leaves the line,
  // or its prompt closes and the next one shows.
  void askerLeft(std::uint64_t id);

  // A question from SpringBoard itself, answered when its turn comes. On
  // `loop`'s own thread it cannot wait for a turn (the prompt on screen
  // would wait for it): it is shown at once when no prompt shows, and
  // otherwise answered with nothing (as without a prompt library).
  std::optional<plist::Dictionary> ask(KstFlags& flags, RunLoop& loop, const plist::Dictionary* question);
  // On the calling thread: shown at once unless a prompt already shows
  // (then nothing).
  std::optional<plist::Dictionary> askHere(KstFlags& flags, const plist::Dictionary* question);

  bool showing() const { return showing_; }
  std::size_t waiting() const { return count_; }

  // The answer of a prompt that nobody answered: deny once, the asked host.
  static plist::Dictionary timeOutAnswer(const plist::Dictionary* question);

 private:
  struct Waiting {
    std::uint64_t id = 0;
    KstFlags* flags = nullptr;
    std::optional<plist::Dictionary> question;
    Asker asker;
  };

  std::optional<Waiting> takeNext();
  void schedule();
  void showNext();
  // Shows one prompt and waits for its answer; nothing without a prompt
  // library, or when its asker left while it showed.
  std::optional<plist::Dictionary> show(KstFlags& flags, const plist::Dictionary* question, std::uint64_t id);

  std::map<std::uint64_t, std::deque<Waiting>> byAsker_;
  std::deque<std::uint64_t> turns_;  // keys of byAsker_, in turn order
  std::uint64_t lastKey_ = 0;        // whose question showed last
  std::size_t count_ = 0;
  std::uint64_t nextId_ = 1;
  RunLoop* loop_ = nullptr;
  bool scheduled_ = false;
  bool showing_ = false;
  std::uint64_t onScreenId_ = 0;
  KstPopUp* onScreen_ = nullptr;
  bool onScreenLeft_ = false;
};

}  // namespace kst
