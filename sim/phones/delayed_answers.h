#pragma once

// Control answers that a real radio gives only after a while (an inquiry lasts its length, a page
// of a phone out of reach lasts the page time-out). Each waits here with its client's stream
// until it is due; then its reply is made (so it says what holds at the end, as a controller's
// does) and sent. A client that closes its end first, or the simulator's stop, ends the wait at
// once, so a slow answer never holds a thread or another client.
//
// Thread-safe. One thread of its own waits on every stream at once; it is stopped and joined by
// the destructor.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "common/mutex.h"
#include "platform/stream_poller.h"
#include "platform/unix_socket.h"

namespace phonesim {

// Streams waiting for a slow answer at once (a real radio runs one inquiry at a time).
inline constexpr size_t kMaxDelayedAnswers = 32;

class DelayedAnswers {
 public:
  // Makes the reply when the answer is due; must not throw.
  using MakeReply = std::function<std::string()>;

  // sendLimit bounds how long the reply may take to go out. Throws std::system_error.
  explicit DelayedAnswers(std::chrono::milliseconds sendLimit);
  ~DelayedAnswers();
  DelayedAnswers(const DelayedAnswers&) = delete;
  DelayedAnswers& operator=(const DelayedAnswers&) = delete;

  // Keeps client until due, then sends makeReply()'s text and closes it. False (client left to
  // the caller) when kMaxDelayedAnswers are waiting or Stop was called.
  bool Add(platform::UnixStream& client, platform::Deadline due, MakeReply makeReply);
  // Drops every waiting answer (their clients see the stream end) and every later one. Never
  // throws.
  void Stop() noexcept;
  // How many answers are waiting.
  size_t Waiting();

 private:
  struct Entry {
    platform::UnixStream client;
    platform::Deadline due;
    MakeReply makeReply;
  };

  void Run();
  // The earliest due time; kNoDeadline when nothing waits.
  platform::Deadline NextDue();
  void Drop(uint64_t key);
  void AnswerDue();

  const std::chrono::milliseconds sendLimit;
  platform::StreamPoller poller;

  keystone::Mutex mutex;  // Guards the members below.
  std::map<uint64_t, Entry> entries GUARDED_BY(mutex);
  uint64_t nextKey GUARDED_BY(mutex) = 0;
  bool stopped GUARDED_BY(mutex) = false;

  std::jthread thread;  // last: started once everything above exists
};

}  // namespace phonesim
