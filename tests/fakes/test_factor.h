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
#include <vector>

#include "common/exceptions.h"
#include "common/status.h"
#include "flows/base_flow.h"
#include "flows/factor.h"

namespace keystone::testing {

enum class FactorBehaviour {
  kSucceed,     // result 0
  kEndWithCode,  // result = script.code
  kThrow,       // std::exception: the result stays at its start value, 0xA0000031
  kHang,        // waits until the flow is stopped or the script released (at most 20 s)
  kNotStart,    // CreateFirstStep throws an MfaException: Execute answers 2
};

// What the factor's flows do, and what they saw.
struct FactorScript {
  std::atomic<FactorBehaviour> behaviour{FactorBehaviour::kSucceed};
  std::atomic<uint32_t> code{0x1234};
  std::atomic<bool> supported{true};
  // The factory returns no flow (the mirrored policy does not list the factor).
  std::atomic<bool> noFlow{false};
  std::atomic<int> flowsMade{0};
  std::atomic<int> stepsStarted{0};
  std::atomic<int> stepsEnded{0};
  std::atomic<uint32_t> lastFlowId{0};
  std::atomic<uint32_t> lastOwnerId{0};

  // Ends every hang.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      released = true;
    }
    changed.notify_all();
  }
  // Waits until count steps have started; false after limit.
  bool WaitForSteps(int count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return stepsStarted.load() >= count; });
  }
  void StepStarted() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++stepsStarted;
    }
    changed.notify_all();
  }
  // Blocks until released or stop is requested, at most 20 s; true when stopped.
  bool Hang(std::stop_token stop) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, stop, std::chrono::seconds(20), [&] { return released; });
    return stop.stop_requested();
  }

  std::mutex mutex;
  std::condition_variable_any changed;
  bool released = false;
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
      flow.script.StepStarted();
      struct Ended {
        FactorScript& script;
        ~Ended() { ++script.stepsEnded; }
      } ended{flow.script};
      switch (flow.script.behaviour.load()) {
        case FactorBehaviour::kSucceed:
          flow.result = 0;
          break;
        case FactorBehaviour::kEndWithCode:
          flow.result = flow.script.code.load();
          break;
        case FactorBehaviour::kThrow:
          throw std::runtime_error("the test factor broke");
        case FactorBehaviour::kHang:
          if (!flow.script.Hang(flow.StopToken())) flow.result = 0;
          break;
        case FactorBehaviour::kNotStart:
          break;
      }
    }
    std::unique_ptr<Flows::Step<TestFactorFlow>> NextStep() override { return nullptr; }
  };

  std::unique_ptr<Flows::Step<TestFactorFlow>> CreateFirstStep() override {
    if (script.behaviour.load() == FactorBehaviour::kNotStart) {
      throw mfab::GeneralException("the test factor does not start");
    }
    return std::make_unique<OnlyStep>(*this);
  }

  FactorScript& script;
  uint32_t result = keystone::kStatusGeneralFailure;
};

class TestFactorController final
    : public Factors::ConcreteFactorController<TestFactorController> {
 public:
  explicit TestFactorController(FactorScript& factorScript) : script(factorScript) {}
  bool CanEnroll() override { return true; }
  bool CanAuthenticate() override { return true; }
  Support IsSupported() override { return {static_cast<uint8_t>(script.supported ? 1 : 0), 0}; }

 private:
  FactorScript& script;
};

class TestFactor final : public Factors::Factor {
 public:
  TestFactor(const std::string& factorId, FactorScript& factorScript)
      : Factor(factorId, std::make_shared<TestFactorController>(factorScript)),
        script(factorScript) {}

  Flows::FlowPtr CreateEnrollmentFlow(uint32_t flowId, uint32_t ownerId,
                                      const std::string& /*user*/) override {
    return Make(flowId, ownerId);
  }
  Flows::FlowPtr CreateAuthenticateFlow(uint32_t flowId, uint32_t ownerId,
                                        const std::string& /*user*/) override {
    return Make(flowId, ownerId);
  }

 private:
  Flows::FlowPtr Make(uint32_t flowId, uint32_t ownerId) {
    if (script.noFlow) return nullptr;
    ++script.flowsMade;
    script.lastFlowId = flowId;
    script.lastOwnerId = ownerId;
    return Flows::MakeFlow<TestFactorFlow>(flowId, ownerId, script);
  }

  FactorScript& script;
};

}  // namespace keystone::testing
