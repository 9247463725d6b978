#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "common/mutex.h"

namespace mfab {

struct KILNAdapterOptions {
  // How long a caller waits for one library call.
  int64_t timeoutMs = 50'000;
};

// Runs one host-library call at a time on the adapter's own long-lived worker thread and waits for
// it with a limit. A call that overruns the limit is abandoned by its caller, who gets
// KILNCallTimeoutException at once; the worker stays with the call until it returns and then runs
// the caller's recovery function. Until that recovery has finished every call is refused with
// KILNBusyException, so the library never sees two calls of one adapter.
//
// Thread-safe: any thread may call; overlapping calls are refused, not queued. The destructor
// waits, without limit, for a call or recovery still running.
class KILNAdapter {
 public:
  using Options = KILNAdapterOptions;

  explicit KILNAdapter(Options options = {});
  ~KILNAdapter();
  KILNAdapter(const KILNAdapter&) = delete;
  KILNAdapter& operator=(const KILNAdapter&) = delete;

  // Runs function on a worker thread and returns its result; an exception of function propagates.
  // Throws KILNBusyException when a call or recovery is in flight, KILNCallTimeoutException when
  // function did not return within timeoutMs. function must own (or share) everything it touches:
  // after a time-out it outlives the caller's frame. recoveryFunction runs on the worker after the
  // timed-out call returned; its exceptions are logged there.
  template <typename Function>
  std::invoke_result_t<Function&> Call(Function function, std::function<void()> recoveryFunction) {
    using Result = std::invoke_result_t<Function&>;
    if constexpr (std::is_void_v<Result>) {
      Run(std::move(function), std::move(recoveryFunction));
    } else {
      auto result = std::make_shared<std::optional<Result>>();
      Run([result, work = std::move(function)]() mutable { result->emplace(work()); },
          std::move(recoveryFunction));
      return std::move(**result);
    }
  }

  // True while a call or the recovery after a time-out is in flight.
  bool IsBusy() const { return busy.load(std::memory_order_acquire); }

 private:
  void Run(std::function<void()> work, std::function<void()> recoveryFunction);
  void Work();

  const Options options;
  std::atomic<bool> busy{false};

  keystone::Mutex mutex;  // Guards the members below.
  std::condition_variable wake;      // a job came, or the stop
  std::condition_variable finished;  // the job returned
  std::function<void()> job GUARDED_BY(mutex);
  std::function<void()> recovery GUARDED_BY(mutex);
  bool done GUARDED_BY(mutex) = true;  // false while a job is posted or running
  bool stopping GUARDED_BY(mutex) = false;
  bool abandoned GUARDED_BY(mutex) = false;
  std::exception_ptr error GUARDED_BY(mutex);

  // Last: started when everything it uses exists, joined before anything goes.
  std::jthread worker;
};

}  // namespace mfab
