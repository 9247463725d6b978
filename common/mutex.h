#pragma once

#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace keystone {

// A std::mutex that the thread-safety analysis knows about.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex.lock(); }
  void unlock() RELEASE() { mutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex.try_lock(); }

  // For std::condition_variable waits; the caller must hold the lock.
  std::mutex& Native() { return mutex; }

 private:
  std::mutex mutex;
};

// Scoped holder of a Mutex; can be handed to a condition variable through Native().
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : lock(m.Native()) {}
  ~MutexLock() RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  std::unique_lock<std::mutex>& Native() { return lock; }

 private:
  std::unique_lock<std::mutex> lock;
};

}  // namespace keystone
