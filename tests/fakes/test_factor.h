#pragma once

// A factor for tests of the flows: its own flows (one step each) succeed, end with a code, throw,
// hang until stopped or released, or do not start, as its script says. Header only: a test that
// includes it links keystone_flows. Thread-safe.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "common/exceptions.h"
#include "common/status.h"
#include "flows/base_flow.h"
#include "flows/factor.h"

namespace keystone::testing {

enum class FactorBehaviour { kSucceed, kEndWithCode, kThrow, kHang, kNotStart };

// What the factor's flows do (kEndWithCode ends with 0x1234; kThrow leaves the flow's first
// result, 0xA0000031; kHang waits until the flow is stopped or Release, at most 20 s), and what
// they saw.
struct FactorScript {
  std::atomic<FactorBehaviour> behaviour{FactorBehaviour::kSucceed};
  std::atomic<bool> supported{true};
  std::atomic<int> flowsMade{0};
  std::atomic<uint32_t> lastFlowId{0};
  std::atomic<uint32_t> lastOwnerId{0};

  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
  // Blocks until released or stop is requested (at most 20 s); true when stopped.
  bool Hang(std::stop_token stop) {
    std::unique_lock<std::mutex> lock(mutex);
    ++hanging;
    changed.notify_all();
    changed.wait_for(lock, stop, std::chrono::seconds(20), [&] { return released; });
    return stop.stop_requested();
  }
  // Waits until count hangs began; false after 10 s.
  bool WaitForHangs(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return hanging >= count; });
  }

  std::mutex mutex;
  std::condition_variable_any changed;
  bool released = false;
  int hanging = 0;
};

class TestFactorFlow final : public Flows::FactorFlow<TestFactorFlow> {
 public:
  static constexpr char kClassName[] = "Testing::TestFactorFlow";

  TestFactorFlow(uint32_t flowIdValue, uint32_t ownerIdValue, FactorScript& factorScript)
      : FactorFlow(flowIdValue, ownerIdValue), script(factorScript) {}

  uint32_t Result() const override { return result; }
  void RecordFailure(const mfab::MfaException& e) { result = static_cast<uint32_t>(e.ErrorCode()); }

 private:
  class OnlyStep final : public Flows::Step<TestFactorFlow> {
   public:
    using Step::Step;
    const char* ClassName() const override { return "Testing::TestFactorFlow::OnlyStep"; }
    void Run() override {
      switch (flow.script.behaviour.load()) {
        case FactorBehaviour::kThrow:
          throw std::runtime_error("the test factor broke");
        case FactorBehaviour::kEndWithCode:
          flow.result = 0x1234;
          break;
        case FactorBehaviour::kHang:
          if (!flow.script.Hang(flow.StopToken())) flow.result = 0;
          break;
        default:
          flow.result = 0;
      }
    }
    std::unique_ptr<Flows::Step<TestFactorFlow>> NextStep() override { return nullptr; }
  };

  std::unique_ptr<Flows::Step<TestFactorFlow>> CreateFirstStep() override {
    if (script.behaviour == FactorBehaviour::kNotStart) throw mfab::GeneralException("no start");
    return std::make_unique<OnlyStep>(*this);
  }

  FactorScript& script;
  uint32_t result = keystone::kStatusGeneralFailure;
};

class TestFactor final : public Factors::Factor {
 public:
  TestFactor(const std::string& factorId, FactorScript& factorScript)
      : Factor(factorId, std::make_shared<Controller>(factorScript)), script(factorScript) {}

  Flows::FlowPtr CreateEnrollmentFlow(uint32_t flowId, uint32_t ownerId,
                                      const std::string&) override {
    return Make(flowId, ownerId);
  }
  Flows::FlowPtr CreateAuthenticateFlow(uint32_t flowId, uint32_t ownerId,
                                        const std::string&) override {
    return Make(flowId, ownerId);
  }

 private:
  class Controller final : public Factors::ConcreteFactorController<Controller> {
   public:
    explicit Controller(FactorScript& factorScript) : script(factorScript) {}
    bool CanEnroll() override { return true; }
    bool CanAuthenticate() override { return true; }
    Support IsSupported() override { return {static_cast<uint8_t>(script.supported ? 1 : 0), 0}; }

   private:
    FactorScript& script;
  };

  Flows::FlowPtr Make(uint32_t flowId, uint32_t ownerId) {
    ++script.flowsMade;
    script.lastFlowId = flowId;
    script.lastOwnerId = ownerId;
    return Flows::MakeFlow<TestFactorFlow>(flowId, ownerId, script);
  }

  FactorScript& script;
};

}  // namespace keystone::testing
