#pragma once

// Background work of one owner: every task runs on a thread of its own, finished threads are
// joined when the next task starts, the owner waits for the running ones with a limit, asks them
// to stop, and at its destruction joins whatever is left, so no task outlives its owner.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <stop_token>
#include <thread>

#include "common/mutex.h"

namespace keystone {

// Thread-safe. A task should not throw; what escapes it goes to the group's failure handler (or
// is dropped without one), never out of its thread.
class TaskGroup {
 public:
  using Work = std::function<void(std::stop_token)>;
  using FailureHandler = std::function<void(std::exception_ptr)>;

  explicit TaskGroup(FailureHandler onFailure = {});
  // Closes the group, asks every task to stop and joins them all.
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Starts work on a thread of its own. False (and work does not run) once the group is closed.
  // Throws std::system_error when no thread can be started.
  bool Launch(Work work);
  // Waits until no task runs or the deadline passes; true when none runs.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline);
  // As WaitIdle, without a limit.
  void WaitIdle();
  // No task starts from now on; running ones go on.
  void Close();
  // Sets every running task's stop token.
  void RequestStop();
  size_t Running();

 private:
  struct Task {
    std::jthread thread;
    bool done = false;  // Guarded by the group's mutex.
  };

  void JoinFinishedLocked() REQUIRES(mutex);

  const FailureHandler onFailure;
  Mutex mutex;  // Guards the members below.
  std::list<std::unique_ptr<Task>> tasks GUARDED_BY(mutex);
  size_t running GUARDED_BY(mutex) = 0;
  bool closed GUARDED_BY(mutex) = false;
  std::condition_variable changed;
};

}  // namespace keystone
