#include "flows/base_flow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/exceptions.h"
#include "common/status.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/test_factor.h"

namespace Flows {
namespace {

using namespace std::chrono_literals;
using keystone::testing::FactorScript;

// Where a flow fails to start.
enum class StartFailure { kOnStart, kFirstStep, kNone };

// A client flow whose steps run the actions of its script, one per step, in order.
class ScriptedFlow final : public ExternalApiFlow<ScriptedFlow> {
 public:
  static constexpr char kClassName[] = "Testing::ScriptedFlow";
  using Action = std::function<void(ScriptedFlow&)>;

  ScriptedFlow(ClientFlowTable& table, std::vector<Action> stepActions)
      : ExternalApiFlow(7, 4242, table), actions(std::move(stepActions)) {}

  uint32_t Result() const override { return result; }
  void RecordFailure(const mfab::MfaException& e) { result = static_cast<uint32_t>(e.ErrorCode()); }

  StartFailure startFailure = StartFailure::kNone;
  std::atomic<int> stepsRun{0};

 private:
  class ScriptedStep final : public Step<ScriptedFlow> {
   public:
    ScriptedStep(ScriptedFlow& owner, size_t stepIndex) : Step(owner), index(stepIndex) {}
    const char* ClassName() const override { return "Testing::ScriptedFlow::ScriptedStep"; }
    void Run() override {
      ++flow.stepsRun;
      flow.actions[index](flow);
    }
    std::unique_ptr<Step<ScriptedFlow>> NextStep() override {
      if (index + 1 == flow.actions.size()) return nullptr;
      return std::make_unique<ScriptedStep>(flow, index + 1);
    }

   private:
    const size_t index;
  };

  void OnStart() override {
    if (startFailure == StartFailure::kOnStart) throw mfab::InvalidInputException("no start");
    ExternalApiFlow::OnStart();
  }
  std::unique_ptr<Step<ScriptedFlow>> CreateFirstStep() override {
    if (startFailure == StartFailure::kFirstStep) throw mfab::AlreadyEnrolledException("no step");
    return std::make_unique<ScriptedStep>(*this, 0);
  }

  const std::vector<Action> actions;
  uint32_t result = kResultUnset;
};

class BaseFlowTest : public ::testing::Test {
 protected:
  ~BaseFlowTest() override {
    script.Release();
    capture->Uninstall();
  }

  std::unique_ptr<ScriptedFlow, FlowDeleter> Make(std::vector<ScriptedFlow::Action> actions) {
    return MakeFlow<ScriptedFlow>(table, std::move(actions));
  }
  // A step that waits until released, or until the flow's token is stopped.
  ScriptedFlow::Action Hang() {
    return [this](ScriptedFlow& flow) { script.Hang(flow.StopToken()); };
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  ClientFlowTable table;
  FactorScript script;
  const ScriptedFlow::Action nothing = [](ScriptedFlow&) {};
};

// OnStart or CreateFirstStep throwing: no worker; a worker that cannot start: no step.
TEST_F(BaseFlowTest, FlowThatCannotStartAnswersTwoWithoutRunningAStep) {
  const struct {
    StartFailure failure;
    int workers;
    uint32_t result;
  } cases[] = {{StartFailure::kOnStart, 0, keystone::kStatusInvalidParameter},
               {StartFailure::kFirstStep, 0, keystone::kStatusAlreadyEnrolled},
               {StartFailure::kNone, 1, kResultUnset}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.failure));
    auto flow = Make({nothing});
    flow->startFailure = c.failure;
    int workers = 0;
    flow->SetWorkerStarterForTesting([&](std::function<void()>) -> std::jthread {
      ++workers;
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    EXPECT_EQ(flow->Execute(1s), kExecuteNotStarted);
    EXPECT_EQ(workers, c.workers);
    EXPECT_EQ(flow->stepsRun, 0);
    EXPECT_EQ(flow->Result(), c.result);
    EXPECT_EQ(table.Size(), 0u);  // no record stays behind
  }
}

TEST_F(BaseFlowTest, MfaExceptionInTheSecondOfThreeStepsEndsTheChainWithItsCode) {
  auto flow =
      Make({nothing, [](ScriptedFlow&) { throw mfab::EnrollmentError("store failed"); }, nothing});
  EXPECT_EQ(flow->Execute(5s), kExecuteFinished);
  EXPECT_EQ(flow->stepsRun, 2);
  EXPECT_EQ(flow->Result(), keystone::kStatusEnrollmentError);
  EXPECT_EQ(flow->State(), kStateDone);
  const auto entries = capture->Entries();
  const bool loggedAsError = std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
    return entry.record.level == mfab::kLogError &&
           entry.record.message == "Run flow: Testing::ScriptedFlow MfaException store failed";
  });
  EXPECT_TRUE(loggedAsError);
  EXPECT_EQ(capture->Count("Run step: Testing::ScriptedFlow::ScriptedStep"), 2u);
}

TEST_F(BaseFlowTest, StepPastTheLimitEndsTheChain) {
  auto flow = Make({[this](ScriptedFlow&) { script.Hang({}); }, nothing});
  EXPECT_EQ(flow->Execute(200ms), kExecuteTimedOut);
  EXPECT_EQ(flow->State(), kStateTimedOut);
  script.Release();
  EXPECT_TRUE(keystone::testing::Eventually([&] { return flow->State() == kStateDone; }));
  EXPECT_EQ(flow->stepsRun, 1);
}

TEST_F(BaseFlowTest, CancelEndsTheChainAfterTheCurrentStep) {
  auto flow = Make({Hang(), nothing});
  std::jthread canceller([&] {
    if (script.WaitForHangs(1)) flow->Cancel();
  });
  // The waiting step gives up at the cancel; the chain ends before the second step.
  EXPECT_EQ(flow->Execute(10s), kExecuteFinished);
  canceller.join();
  EXPECT_EQ(flow->State(), kStateStopped);
  EXPECT_EQ(flow->stepsRun, 1);
}

TEST_F(BaseFlowTest, DestroyingATimedOutFlowWaitsForItsStep) {
  std::atomic<bool> stepReturned{false};
  auto flow = Make({[&](ScriptedFlow& f) {
    script.Hang(f.StopToken());
    stepReturned = true;
  }});
  EXPECT_EQ(flow->Execute(200ms), kExecuteTimedOut);
  flow.reset();
  EXPECT_TRUE(stepReturned);
}

}  // namespace
}  // namespace Flows
