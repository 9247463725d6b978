#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Time on the steady clock in 100-nanosecond ticks, the unit the engine measures intervals in.
using Ticks = int64_t;
inline constexpr Ticks kTicksPerMillisecond = 10'000;
inline constexpr Ticks kTicksPerSecond = 10'000'000;

template <typename Rep, typename Period>
constexpr Ticks ToTicks(std::chrono::duration<Rep, Period> d) {
  return std::chrono::duration_cast<std::chrono::duration<Ticks, std::ratio<1, 10'000'000>>>(d)
      .count();
}

// Source of time for components; tests hand in a manual clock.
// Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;

  // Steady time in ticks since an arbitrary epoch; never goes back.
  virtual Ticks SteadyNow() const = 0;
  // Wall-clock time in seconds since 1970-01-01 UTC.
  virtual int64_t UnixSeconds() const = 0;
};

// The process-wide clock backed by the operating system.
Clock& SystemClock();

}  // namespace platform
