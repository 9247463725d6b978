#pragma once

// The flow runner over a real registry mirror (in memory), the test factor "TestCard" and an
// applet that answers the store request as the test says.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/flow_host.h"
#include "flows/factor_registry.h"
#include "flows/flow_runner.h"
#include "sim/applet/policy.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_controller.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/fake_mirroring_host.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/test_factor.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"

namespace mfab::testing {

using namespace std::chrono_literals;

inline constexpr char kFactor[] = "TestCard";
// The user of uid 1000 under FakeAccounts, and root.
inline constexpr char kSid[] = "S-1-5-21-1-2-3-1000";
inline constexpr keystone::ClientIdentity kUser{555, 1000};
inline constexpr keystone::ClientIdentity kRoot{556, 0};

inline Bytes BooleanReply(uint32_t type, int32_t value) {
  BooleanResponse response;
  response.result = value;
  return keystone::testing::ReplyOf(type, response.Serialize());
}

// The applet as a flow reaches it: records each request, answers with what Answer set (the
// store's success by default). Set the answer before a flow runs.
class FakeFlowHost : public IFlowHost {
 public:
  Bytes ExecuteMessageToApplet(const Bytes& request) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(Message::Parse(request));
    }
    return reply();
  }
  std::vector<Message> Requests() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  }
  void Answer(std::function<Bytes()> answer) { reply = std::move(answer); }

 private:
  std::mutex mutex;
  std::vector<Message> requests;
  std::function<Bytes()> reply = [] {
    return BooleanReply(message_type::kSaveEnrollmentDataResponse, 0);
  };
};

// Everything a flow runs against; the policy lists kFactor, which nobody has enrolled.
class FlowWorld {
 public:
  FlowWorld() { MirrorPolicy({kFactor}); }
  ~FlowWorld() {
    script.Release();
    runner.reset();
  }

  // Mirrors a policy of these factors, and kSid's enrollments.
  void MirrorPolicy(const std::vector<std::string>& factorIds,
                    const std::vector<std::string>& enrolled = {}) {
    kilnsim::Policy policy;
    for (const std::string& id : factorIds) policy.factors.push_back({id, id, 1});
    kilnsim::UserData user{kSid, {}};
    for (const std::string& id : enrolled) user.factors[id] = {{"IsEnrolled", "true"}};
    mirrorHost.SetPolicy(keystone::testing::PolicyReply(policy));
    mirrorHost.SetUsers(keystone::testing::UserDataReply({user}));
    mirroring.UpdateAll();
  }

  uint32_t Enroll(const std::string& factorId = kFactor, keystone::ClientIdentity client = kUser,
                  const std::string& user = kSid) {
    return runner->RunEnrollmentFlow(31, client, user, factorId);
  }

  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  DataController controller{registry, files};
  keystone::testing::FakeMirroringHost mirrorHost;
  AuthenticateDataMirroring mirroring{registry, controller, mirrorHost};
  keystone::testing::FactorScript script;
  Factors::FactorRegistry factors{
      mirroring, {std::make_shared<keystone::testing::TestFactor>(kFactor, script)}};
  FakeFlowHost host;
  keystone::testing::FakeAccounts accounts;
  // Generous enough for a slow (sanitized) build; Limits shrinks what a test waits out.
  std::unique_ptr<FlowRunner> runner = Limits({10s, 5s, 5s, 10s});

  std::unique_ptr<FlowRunner> Limits(const FlowOptions& options) {
    return std::make_unique<FlowRunner>(factors, mirroring, host, accounts, options);
  }
  // A factor's own flow gets 50 ms.
  void ShortFactorLimits() { runner = Limits({10s, 50ms, 50ms, 10s}); }
};

class FlowsTest : public ::testing::Test {
 protected:
  ~FlowsTest() override { capture->Uninstall(); }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
};

}  // namespace mfab::testing
