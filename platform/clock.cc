#include "platform/clock.h"

namespace platform {
namespace {

class OsClock final : public Clock {
 public:
  Ticks SteadyNow() const override {
    return ToTicks(std::chrono::steady_clock::now().time_since_epoch());
  }
  int64_t UnixSeconds() const override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

Clock& SystemClock() {
  static OsClock clock;
  return clock;
}

}  // namespace platform
