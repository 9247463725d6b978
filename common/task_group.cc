#include "common/task_group.h"

#include <utility>

namespace keystone {

TaskGroup::TaskGroup(FailureHandler failureHandler) : onFailure(std::move(failureHandler)) {}

TaskGroup::~TaskGroup() {
  std::list<std::unique_ptr<Task>> all;
  {
    MutexLock lock(mutex);
    closed = true;
    all.swap(tasks);
  }
  for (const std::unique_ptr<Task>& task : all) {
    task->thread.request_stop();
    if (task->thread.joinable()) task->thread.join();
  }
}

bool TaskGroup::Launch(Work work) {
  MutexLock lock(mutex);
  if (closed) return false;
  JoinFinishedLocked();
  auto task = std::make_unique<Task>();
  Task* self = task.get();
  // Started under the mutex, so Close and the destructor cannot miss a task being started; the
  // task itself takes the mutex only once it is done.
  task->thread = std::jthread([this, self, run = std::move(work)](std::stop_token stop) {
    try {
      run(stop);
    } catch (...) {
      if (onFailure) {
        try {
          onFailure(std::current_exception());
        } catch (...) {
          // A failing handler cannot report anything either.
        }
      }
    }
    {
      MutexLock done(mutex);
      self->done = true;
      --running;
    }
    changed.notify_all();
  });
  ++running;
  tasks.push_back(std::move(task));
  return true;
}

void TaskGroup::JoinFinishedLocked() {
  for (auto it = tasks.begin(); it != tasks.end();) {
    if ((*it)->done) {
      // Its body has returned; the join only collects the thread.
      (*it)->thread.join();
      it = tasks.erase(it);
    } else {
      ++it;
    }
  }
}

bool TaskGroup::WaitIdle(std::chrono::steady_clock::time_point deadline) {
  MutexLock lock(mutex);
  return changed.wait_until(lock.Native(), deadline, [this]() REQUIRES(mutex) {
    return running == 0;
  });
}

void TaskGroup::WaitIdle() {
  MutexLock lock(mutex);
  changed.wait(lock.Native(), [this]() REQUIRES(mutex) { return running == 0; });
}

void TaskGroup::Close() {
  MutexLock lock(mutex);
  closed = true;
}

void TaskGroup::RequestStop() {
  MutexLock lock(mutex);
  for (const std::unique_ptr<Task>& task : tasks) task->thread.request_stop();
}

size_t TaskGroup::Running() {
  MutexLock lock(mutex);
  return running;
}

}  // namespace keystone
