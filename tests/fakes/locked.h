#pragma once

// One-line accessors for the fakes' state that a mutex guards.

#include <mutex>
#include <utility>

namespace keystone::testing {

// A copy of member, taken under mutex.
template <typename T>
T LockedCopy(std::mutex& mutex, const T& member) {
  std::lock_guard<std::mutex> lock(mutex);
  return member;
}

// Assigns value to member under mutex.
template <typename T, typename V>
void LockedSet(std::mutex& mutex, T& member, V&& value) {
  std::lock_guard<std::mutex> lock(mutex);
  member = std::forward<V>(value);
}

// Appends value to a container member under mutex.
template <typename T, typename V>
void LockedAppend(std::mutex& mutex, T& member, V&& value) {
  std::lock_guard<std::mutex> lock(mutex);
  member.push_back(std::forward<V>(value));
}

}  // namespace keystone::testing
