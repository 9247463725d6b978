#pragma once

// The phone-presence state of the one monitored phone: the monitor thread reports each
// inquiry's outcome, presence queries wait for the state they need.
//
//   Init -> Found (answer) | NotFound (the Init budget of misses in one pass)
//   Found -> Unknown (one miss)
//   Unknown -> Found (answer) | NotFound (the retry budget of misses in one pass)
//   NotFound -> Found (answer) | NotFound (miss, its count grows)
//
// Thread-safe: one mutex guards every field; waits release it between checks. Nothing throws
// but ValidateDeviceId and ExtractMacAddressFromDeviceId.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <string>

#include "common/mutex.h"
#include "platform/clock.h"
#include "tlv/tlv.h"

namespace mfab {

struct SoftBtDeviceOptions {
  // The length of one configured second (the waits are configured in seconds).
  std::chrono::milliseconds second{1000};
  // How often a waiting query looks at the state again.
  std::chrono::milliseconds pollStep{100};
};

class SoftBtDevice {
 public:
  enum State : uint32_t { kInit = 0, kFound = 1, kNotFound = 2, kUnknown = 3 };
  using Options = SoftBtDeviceOptions;

  explicit SoftBtDevice(platform::Clock& clock, Options options = {});
  SoftBtDevice(const SoftBtDevice&) = delete;
  SoftBtDevice& operator=(const SoftBtDevice&) = delete;

  // Each sets the state: a change restarts the count at 1 and stamps the time, a repeat counts.
  void Init();
  void Found();
  void NotFound();
  void Unknown();

  // Found or Unknown: true at once. NotFound: WaitForStatusFound. Init: WaitForStatusChange.
  bool IsFound(uint32_t seconds);
  // Waits up to seconds for Found or NotFound; true when the state then is Found or Unknown.
  bool WaitForStatusChange(uint32_t seconds);
  // Waits up to seconds for Found; true when it came.
  bool WaitForStatusFound(uint32_t seconds);

  State GetState();
  uint32_t StateCount();
  platform::Ticks StateTime();
  std::string Address();
  // An empty address: no phone.
  void SetAddress(const std::string& address);
  // Sets the address and the state Init in one step.
  void Reset(const std::string& address);

  // BluetoothExceptions::InvalidDeviceIdException unless the id is 8 bytes; logs its size.
  static void ValidateDeviceId(const Bytes& deviceId);
  // "aa:bb:cc:dd:ee:ff" from a valid id.
  static std::string ExtractMacAddressFromDeviceId(const Bytes& deviceId);

 private:
  void SetState(State next);
  void SetStateLocked(State next) REQUIRES(mutex);
  // Waits until done holds or seconds pass; the deadline is on the injected clock.
  template <typename Done>
  State WaitFor(uint32_t seconds, Done done);

  platform::Clock& clock;
  const Options options;
  std::condition_variable changed;
  keystone::Mutex mutex;  // Guards the members below.
  std::string address GUARDED_BY(mutex);
  State state GUARDED_BY(mutex) = kInit;
  uint32_t stateCount GUARDED_BY(mutex) = 0;
  platform::Ticks stateTime GUARDED_BY(mutex) = 0;
};

}  // namespace mfab
