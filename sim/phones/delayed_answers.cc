#include "sim/phones/delayed_answers.h"

#include <algorithm>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

namespace phonesim {

DelayedAnswers::DelayedAnswers(std::chrono::milliseconds limit)
    : sendLimit(limit), thread([this] { Run(); }) {}

DelayedAnswers::~DelayedAnswers() {
  Stop();
  if (thread.joinable()) thread.join();
}

bool DelayedAnswers::Add(platform::UnixStream& client, platform::Deadline due,
                         MakeReply makeReply) {
  {
    keystone::MutexLock lock(mutex);
    if (stopped || entries.size() >= kMaxDelayedAnswers) return false;
    const uint64_t key = nextKey++;
    // Registered under the lock, so the thread never sees a key without its entry.
    poller.Add(client, key);
    entries.emplace(key, Entry{std::move(client), due, std::move(makeReply)});
  }
  // Wakes the thread at once, to wait for the new due time too.
  poller.SetTimer(std::chrono::steady_clock::now());
  return true;
}

void DelayedAnswers::Stop() noexcept {
  {
    keystone::MutexLock lock(mutex);
    stopped = true;
  }
  poller.Stop();
}

size_t DelayedAnswers::Waiting() {
  keystone::MutexLock lock(mutex);
  return entries.size();
}

platform::Deadline DelayedAnswers::NextDue() {
  keystone::MutexLock lock(mutex);
  platform::Deadline next = platform::kNoDeadline;
  for (const auto& [key, entry] : entries) next = std::min(next, entry.due);
  return next;
}

void DelayedAnswers::Drop(uint64_t key) {
  keystone::MutexLock lock(mutex);
  const auto it = entries.find(key);
  if (it == entries.end()) return;
  poller.Remove(it->second.client);
  entries.erase(it);
}

void DelayedAnswers::AnswerDue() {
  std::vector<Entry> due;
  {
    keystone::MutexLock lock(mutex);
    const platform::Deadline now = std::chrono::steady_clock::now();
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->second.due > now) {
        ++it;
        continue;
      }
      poller.Remove(it->second.client);
      due.push_back(std::move(it->second));
      it = entries.erase(it);
    }
  }
  // Replies are made and sent unlocked: making one takes the simulator's lock.
  for (Entry& entry : due) {
    const std::string reply = entry.makeReply();
    try {
      entry.client.SendAll(std::span(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()),
                           platform::DeadlineAfter(sendLimit));
    } catch (const std::system_error&) {
      // The client went meanwhile; nothing is owed to it.
    }
  }
}

void DelayedAnswers::Run() {
  for (;;) {
    platform::StreamPoller::Event event;
    try {
      event = poller.Wait(NextDue());
    } catch (const std::system_error&) {
      // The poller itself failed: nothing can be waited for any more.
      Stop();
      event.kind = platform::StreamPoller::EventKind::kStopped;
    }
    if (event.kind == platform::StreamPoller::EventKind::kStopped) break;
    // A waiting client never writes: readable means it closed its end (it gave up).
    if (event.kind == platform::StreamPoller::EventKind::kReady) Drop(event.key);
    AnswerDue();
  }
  keystone::MutexLock lock(mutex);
  for (auto& [key, entry] : entries) poller.Remove(entry.client);
  entries.clear();
}

}  // namespace phonesim
