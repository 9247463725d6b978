#pragma once

// The smart-card factor among the engine's own components: the real resource manager, applet
// channel and simulated applet (libkiln-sim.so, its state and the stored .SDS files in a
// temporary state directory), the registry mirror, the flow runner; the certificate handling,
// the client's callbacks and the OS version are fakes. The policy names the test CA.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "applet/kiln_library.h"
#include "common/config_keys.h"
#include "engine/flow_host.h"
#include "engine/resource_manager.h"
#include "flows/factor_registry.h"
#include "flows/flow_runner.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "smartcard/smart_card_factor.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_controller.h"
#include "storage/mirroring_host.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/fake_stored_data.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"
#include "tests/smartcard/smart_card_fakes.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace keystone::testing {

using namespace std::chrono_literals;

inline constexpr char kSmartCard[] = "PhysicalSmartcard";
inline constexpr char kAliceSid[] = "S-1-5-21-1-2-3-1000";
inline constexpr ClientIdentity kAlice{555, 1000};
inline constexpr ClientIdentity kAdmin{4242, 0};
inline constexpr uint32_t kClientSession = 17;

// Wall-clock time the test sets; steady time runs.
class SettableClock : public platform::Clock {
 public:
  platform::Ticks SteadyNow() const override { return platform::SystemClock().SteadyNow(); }
  int64_t UnixSeconds() const override { return now.load(); }
  void Set(int64_t seconds) { now = seconds; }
  void Advance(std::chrono::seconds by) { now += by.count(); }

 private:
  std::atomic<int64_t> now{1'700'000'000};
};

// The running engine as the registry mirror and the flows reach it.
class EngineHost : public mfab::IMirroringHost, public mfab::IFlowHost {
 public:
  explicit EngineHost(std::unique_ptr<mfab::ResourceManager>& running) : manager(running) {}
  mfab::Bytes GetPolicyData() override { return manager->Applet().GetPolicyData(); }
  mfab::Bytes SendMessageUsingQueue(const mfab::Bytes& request) override {
    return manager->Applet().SendMessageUsingQueue(request);
  }
  void StartUserRecordTask() override {}
  void ClearUserData() override {}
  mfab::Bytes ExecuteMessageToApplet(const mfab::Bytes& request) override {
    return manager->ExecuteFlowMessage(request);
  }

 private:
  std::unique_ptr<mfab::ResourceManager>& manager;
};

class SmartCardWorld : public ::testing::Test {
 protected:
  SmartCardWorld() {
    ::setenv("KEYSTONE_STATE_DIR", state.Path().c_str(), 1);
    ::unsetenv("KILN_SIM_STATE_DIR");
    platform::WriteRegistryValue(registry, keystone::kEngineKey, mfab::kKilnLibraryPathValue,
                                 platform::RegValue::String(KILN_SIM_LIBRARY));
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "AppletPath",
                                 platform::RegValue::String("/opt/mfa.applet"));
    sessionOptions.tee.retrySleep = 1ms;
    sessionOptions.communicationRetrySleep = 1ms;
    Limits({10s, 5s, 5s, 10s});
  }
  ~SmartCardWorld() override {
    runner.reset();
    manager.reset();
    capture->Uninstall();
    ::unsetenv("KEYSTONE_STATE_DIR");
  }

  // A new engine whose flows have these limits.
  void Limits(const mfab::FlowOptions& options) {
    manager.reset();
    runner = std::make_unique<mfab::FlowRunner>(factors, mirror, host, accounts, options);
    mfab::ResourceManager::Options managerOptions;
    managerOptions.applet.activityTimeout = 10s;
    auto library = std::make_shared<mfab::SharedKilnLibrary>(registry);
    manager = std::make_unique<mfab::ResourceManager>(
        mfab::ResourceManagerDependencies{
            platform::SystemClock(), registry, accounts, osVersion, controller, attestation,
            recordingMirror, userRecords,
            [this](mfab::SystemPowerStateManager&) { return authState; },
            [this, library](mfab::IApiBusyFlag& busy) {
              return std::make_unique<mfab::SessionAppletChannel>(
                  mfab::AppletSessionServices{registry, platform::SystemClock(), osVersion,
                                              controller, mirror, busy},
                  library, sessionOptions);
            },
            nullptr, nullptr, runner.get()},
        managerOptions);
  }

  // Sets a policy whose smart-card factor has these parameters (the test CA and
  // extras), and mirrors it.
  void SetPolicy(std::vector<kilnsim::NameValue> extra = {}, bool withSmartCard = true) {
    kilnsim::Policy policy;
    kilnsim::PolicyFactor entry;
    entry.id = withSmartCard ? kSmartCard : "Phone";
    entry.name = "Smart card";
    entry.type = 1;
    entry.parameters = {{"CaCertificateThumbprint0", TestPki::Get().caSha256}};
    for (kilnsim::NameValue& value : extra) entry.parameters.push_back(std::move(value));
    policy.factors.push_back(entry);
    const mfab::Message reply = Client(
        Request(kilnsim::sim_type::kSetPolicyRequest, kilnsim::SerializePolicy(policy)), kAdmin);
    ASSERT_EQ(reply.messageType, kilnsim::sim_type::kSetPolicyResponse);
    mirror.PolicyUpdated();
  }

  static mfab::Message Request(uint32_t type, mfab::Bytes payload) {
    mfab::Message request;
    request.moduleId = 3;
    request.messageType = type;
    request.category = 1;
    request.payload = std::move(payload);
    request.sessionId = kClientSession;
    return request;
  }
  // A client's request through the command handler and the applet, host work answered.
  mfab::Message Client(const mfab::Message& request, ClientIdentity identity = kAlice) {
    const mfab::Bytes reply = manager->SendMessageToApplet(request.Serialize(), identity);
    manager->ReleaseSessionId(kClientSession);
    return mfab::Message::Parse(reply);
  }

  uint32_t Enroll() {
    return runner->RunEnrollmentFlow(kClientSession, kAlice, kAliceSid, kSmartCard);
  }
  // The applet's verdict on Alice's smart card, asked for the way a client does (0 = yes).
  int32_t Authenticate() {
    AuthenticateFlows::AuthenticateFactorRequest check;
    check.factorId = kSmartCard;
    check.user = kAliceSid;
    const mfab::Message reply =
        Client(Request(mfab::message_type::kCheckHostFactorRequest, check.Serialize()));
    EXPECT_EQ(reply.messageType, mfab::message_type::kCheckHostFactorResponse);
    mfab::BooleanResponse verdict;
    verdict.result = 6;
    verdict.Deserialize(reply.payload);
    return verdict.result;
  }
  // Whether a log line holds fragment.
  bool Logged(const std::string& fragment) const { return capture->Contains(fragment); }
  std::string Stored(const std::string& name) const {
    return ReadFileText(state.File("Data/" + name + ".SDS"));
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  TempDirectory state;
  MemoryRegistry registry;
  SettableClock clock;
  FakeOsVersion osVersion;
  FakeAccounts accounts;
  FakeAttestation attestation;
  RecordingMirroring recordingMirror;
  RecordingUserRecords userRecords;
  const std::shared_ptr<FakeAuthenticationState> authState =
      std::make_shared<FakeAuthenticationState>();
  mfab::DataController controller{registry, platform::SystemFileSystem()};
  mfab::AppletSessionOptions sessionOptions;
  std::unique_ptr<mfab::ResourceManager> manager;
  EngineHost host{manager};
  mfab::AuthenticateDataMirroring mirror{registry, controller, host};

  const std::shared_ptr<FakeCertificates> certificates =
      std::make_shared<FakeCertificates>(TestPki::Get().rsaCard);
  const std::shared_ptr<FakeClientCallbacks> client =
      std::make_shared<FakeClientCallbacks>(TestPki::Get().rsaCard);
  SmartCardFactor::SmartCardOptions smartCardOptions;
  const std::shared_ptr<SmartCardFactor::SmartCardFactor> factor =
      std::make_shared<SmartCardFactor::SmartCardFactor>(
          std::make_shared<SmartCardFactor::SmartCardController>(certificates, client, osVersion),
          mirror, SmartCardFactor::SmartCardServices{host, registry, clock, smartCardOptions});
  Factors::FactorRegistry factors{mirror, {factor}};
  std::unique_ptr<mfab::FlowRunner> runner;
};

}  // namespace keystone::testing
