#pragma once

// The smart-card factor among the engine's own components: the real applet path on the
// simulated applet (SimAppletEngine), the registry mirror, the flow runner; the certificate
// handling, the client's callbacks and the OS version are fakes. The policy names the test CA.

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "flows/factor_registry.h"
#include "flows/flow_runner.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "smartcard/smart_card_factor.h"
#include "storage/authenticate_data_mirroring.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/sim_applet_engine.h"
#include "tests/smartcard/cert_test_support.h"
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

class SmartCardWorld : public ::testing::Test, protected SimAppletEngine<> {
 protected:
  SmartCardWorld() { Limits({10s, 5s, 5s, 10s}); }
  ~SmartCardWorld() override {
    runner.reset();
    manager.reset();
    capture->Uninstall();
  }

  // A new engine whose flows have these limits.
  void Limits(const mfab::FlowOptions& options) {
    manager.reset();
    runner = std::make_unique<mfab::FlowRunner>(factors, mirror, host, accounts, options);
    StartEngine(osVersion, mirror, runner.get());
  }

  // Sets a policy whose smart-card factor has these parameters (the test CA and
  // extras), and mirrors it.
  void SetPolicy(std::vector<kilnsim::NameValue> extra = {}, bool withSmartCard = true) {
    kilnsim::Policy policy;
    kilnsim::PolicyFactor entry;
    entry.id = withSmartCard ? kSmartCard : "Phone";
    entry.name = "Smart card";
    entry.type = 1;
    entry.parameters = {{"CaCertificateThumbprint0", CardPki::Get().caSha256}};
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
  std::shared_ptr<SmartCardFactor::SmartCardFactor> SmartCard(
      std::shared_ptr<FakeCertificates> inserted, std::shared_ptr<FakeClientCallbacks> signer) {
    return std::make_shared<SmartCardFactor::SmartCardFactor>(
        std::make_shared<SmartCardFactor::SmartCardController>(inserted, signer, osVersion), mirror,
        SmartCardFactor::SmartCardServices{host, registry, clock, smartCardOptions});
  }
  std::string Stored(const std::string& name) const {
    return ReadFileText(state.File("Data/" + name + ".SDS"));
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  SetClock clock;
  FakeOsVersion osVersion;
  EngineHost host{manager};
  mfab::AuthenticateDataMirroring mirror{registry, controller, host};

  const std::shared_ptr<FakeCertificates> certificates =
      std::make_shared<FakeCertificates>(CardPki::Get().rsaCard);
  const std::shared_ptr<FakeClientCallbacks> client =
      std::make_shared<FakeClientCallbacks>(CardPki::Get().rsaCard);
  SmartCardFactor::SmartCardOptions smartCardOptions;
  const std::shared_ptr<SmartCardFactor::SmartCardFactor> factor = SmartCard(certificates, client);
  Factors::FactorRegistry factors{mirror, {factor}};
  std::unique_ptr<mfab::FlowRunner> runner;
};

}  // namespace keystone::testing
