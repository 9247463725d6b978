#pragma once

// Shared set-up of the applet channel's tests: shrunk limits, a clock that can be driven, and
// builders of applet replies.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "applet/tee_applet.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "tests/fakes/eventually.h"
#include "tlv/message.h"
#include "tlv/metadata.h"

namespace keystone::testing {

// Limits small enough for tests; the adapter's limit stays generous so that only tests that
// hang a call on purpose ever reach it.
inline mfab::TeeAppletOptions FastTeeOptions() {
  mfab::TeeAppletOptions options;
  options.adapter.timeoutMs = 5'000;
  options.retryDeadline = std::chrono::milliseconds(60'000);
  options.retrySleep = std::chrono::milliseconds(1);
  return options;
}

// A steady clock that moves only when told to, or by a fixed step at every reading.
class SteppingClock : public platform::Clock {
 public:
  explicit SteppingClock(platform::Ticks stepPerReading = 0) : step(stepPerReading) {}
  platform::Ticks SteadyNow() const override { return now.fetch_add(step) + step; }
  int64_t UnixSeconds() const override { return 1'700'000'000; }
  void Advance(platform::Ticks ticks) { now.fetch_add(ticks); }

 private:
  mutable std::atomic<platform::Ticks> now{0};
  const platform::Ticks step;
};

// The text of the E that f throws; "<no exception>" when f returns (other exceptions pass).
template <typename E, typename F>
std::string ThrownText(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

inline void EnableEngineLog() { mfab::SetLogThreshold(mfab::LogSink::kService, 4); }

// An applet reply envelope (a request envelope as well).
inline mfab::Bytes Reply(uint32_t messageType, mfab::Bytes payload = {},
                         const mfab::MessageMetadata* metadata = nullptr, uint32_t moduleId = 3) {
  mfab::Message message;
  message.moduleId = moduleId;
  message.messageType = messageType;
  message.payload = std::move(payload);
  if (metadata) message.metadata = std::make_shared<mfab::Bytes>(metadata->Serialize());
  message.sessionId = 7;
  return message.Serialize();
}

inline mfab::Bytes ErrorReply(uint16_t code, const std::string& text = "applet error") {
  mfab::ErrorMessage error;
  error.errorCode = code;
  error.errorText = text;
  return Reply(mfab::message_type::kErrorReply, error.Serialize());
}

}  // namespace keystone::testing
