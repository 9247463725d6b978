#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace mfab {

struct KILNAdapterOptions {
  // How long a caller waits for one library call.
  int64_t timeoutMs = 50'000;
};

// Runs one host-library call at a time on a worker thread of its own and waits for it with a
// limit. A call that overruns the limit is abandoned: the caller gets KILNCallTimeoutException at
// once, the hung worker is parked in a process-wide list, and a background task waits for it to
// return and then runs the caller's recovery function. Until that recovery has finished every
// call is refused with KILNBusyException, so the library never sees two calls of one adapter.
//
// Thread-safe: any thread may call; overlapping calls are refused, not queued. The destructor
// waits, without limit, for a recovery still running (and so for a hung call).
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
  // after a time-out it outlives the caller's frame. recoveryFunction runs on the background task
  // after the timed-out call returned; its exceptions are logged there.
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

  // Calls that timed out in this process and have not been pruned yet (pruning happens whenever
  // another one is parked).
  static size_t AbandonedCallCountForTesting();

 private:
  void Run(std::function<void()> work, std::function<void()> recoveryFunction);

  const Options options;
  std::atomic<bool> busy{false};
  // The background recovery of the last time-out; touched only by the caller that holds busy and
  // by the destructor.
  std::thread recovery;
};

}  // namespace mfab
