#include "common/task_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>

namespace keystone {
namespace {

using namespace std::chrono_literals;

TEST(TaskGroupTest, WaitIdleEndsWhenTheLastTaskDidOrAtItsDeadline) {
  TaskGroup group;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(group.Launch([released](std::stop_token) { released.wait(); }));
  ASSERT_TRUE(group.Launch([released](std::stop_token) { released.wait(); }));
  EXPECT_EQ(group.Running(), 2u);
  EXPECT_FALSE(group.WaitIdle(std::chrono::steady_clock::now() + 20ms));
  release.set_value();
  EXPECT_TRUE(group.WaitIdle(std::chrono::steady_clock::now() + 10s));
  EXPECT_EQ(group.Running(), 0u);
}

TEST(TaskGroupTest, WhatATaskThrowsGoesToTheFailureHandler) {
  std::mutex mutex;
  std::string seen;
  TaskGroup group([&](std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(mutex);
      seen = e.what();
    }
  });
  group.Launch([](std::stop_token) { throw std::runtime_error("broke"); });
  group.WaitIdle();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen, "broke");
}

// A closed group starts nothing; its destruction stops and joins what still runs.
TEST(TaskGroupTest, DestructionStopsAndJoinsTheRunningTasks) {
  std::atomic<bool> ended{false};
  {
    TaskGroup group;
    group.Launch([&](std::stop_token stop) {
      std::mutex mutex;
      std::condition_variable_any wake;
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait(lock, stop, [] { return false; });
      ended = true;
    });
    group.Close();
    bool ran = false;
    EXPECT_FALSE(group.Launch([&](std::stop_token) { ran = true; }));
    EXPECT_FALSE(ran);
  }
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace keystone
