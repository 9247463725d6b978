// What running a flow costs the engine: a whole enrollment (the enrollment flow and the test
// factor's flow, each on a worker of its own, the mirror read in memory, a canned store reply) and
// a factor authentication through the flow runner, beside one thread's start and join, which
// every flow pays once.

#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "engine/flow_host.h"
#include "flows/factor_registry.h"
#include "flows/flow_runner.h"
#include "log/logger.h"
#include "sim/applet/policy.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_controller.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/fake_mirroring_host.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/test_factor.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace {

constexpr char kSid[] = "S-1-5-21-1-2-3-1000";

class StoredAnswer : public mfab::IFlowHost {
 public:
  mfab::Bytes ExecuteMessageToApplet(const mfab::Bytes&) override { return reply; }
  const mfab::Bytes reply = [] {
    mfab::BooleanResponse stored;
    return keystone::testing::ReplyOf(mfab::message_type::kSaveEnrollmentDataResponse,
                                      stored.Serialize());
  }();
};

// The runner over an in-memory mirror whose policy lists the test factor.
struct Engine {
  Engine() {
    mfab::SetLogThreshold(mfab::LogSink::kService, 0);
    kilnsim::Policy policy;
    policy.factors.push_back({"TestCard", "Test card", 1});
    mirrorHost.SetPolicy(keystone::testing::PolicyReply(policy));
    mirroring.UpdateAll();
  }
  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  mfab::DataController controller{registry, files};
  keystone::testing::FakeMirroringHost mirrorHost;
  mfab::AuthenticateDataMirroring mirroring{registry, controller, mirrorHost};
  keystone::testing::FactorScript script;
  Factors::FactorRegistry factors{
      mirroring, {std::make_shared<keystone::testing::TestFactor>("TestCard", script)}};
  StoredAnswer host;
  keystone::testing::FakeAccounts accounts;
  mfab::FlowRunner runner{factors, mirroring, host, accounts};
};

void BM_Enrollment(benchmark::State& state) {
  Engine engine;
  for (auto _ : state) {
    if (engine.runner.RunEnrollmentFlow(1, {2, 0}, kSid, "TestCard") != 0) {
      state.SkipWithError("the enrollment failed");
      break;
    }
  }
}
BENCHMARK(BM_Enrollment)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_FactorAuthentication(benchmark::State& state) {
  Engine engine;
  AuthenticateFlows::AuthenticateFactorRequest check;
  check.factorId = "TestCard";
  check.user = kSid;
  mfab::Message request;
  request.messageType = mfab::message_type::kFactorResultRequest;
  request.payload = check.Serialize();
  for (auto _ : state) {
    mfab::Bytes answer;
    benchmark::DoNotOptimize(
        engine.runner.RunFactorFlow(request, 2, std::chrono::seconds(120), answer));
  }
}
BENCHMARK(BM_FactorAuthentication)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ThreadStartAndJoin(benchmark::State& state) {
  for (auto _ : state) {
    std::jthread worker([] {});
  }
}
BENCHMARK(BM_ThreadStartAndJoin)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
