// Several handles, sessions and threads on one state directory at once.

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;
constexpr int kThreads = 4;
constexpr int kRounds = 25;

class SimConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimClient client(host);
    ASSERT_EQ(client.Run(MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy())).messageType,
              sim_type::kSetPolicyResponse);
  }

  SimStateDir state;
  HostDouble host;
};

TEST_F(SimConcurrencyTest, SessionsOfManyThreadsKeepOneConsistentVersionTable) {
  std::vector<HostDouble> hosts(kThreads, host);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SimClient client(hosts[t]);
      const std::string sid = "S-1-5-21-7-7-7-" + std::to_string(500 + t);
      for (int round = 0; round < kRounds; ++round) {
        if (client.Send(0, MakeRequest(mt::kGetPolicyDataRequest)).messageType !=
            sim_type::kGetPolicyDataResponse) {
          ++failures;
        }
      }
      mfab::SaveEnrollmentDataRequest store;
      store.user = sid;
      store.factorId = "Phone";
      if (client.Run(MakeRequest(mt::kSaveEnrollmentDataRequest, store.Serialize())).messageType !=
          mt::kSaveEnrollmentDataResponse) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);

  // Every thread's change is in force: each user's blobs are accepted by a fresh session.
  for (int t = 0; t < kThreads; ++t) {
    const std::string sid = "S-1-5-21-7-7-7-" + std::to_string(500 + t);
    SimClient client(hosts[t]);
    mfab::GetUserDataRequest query;
    query.user = sid;
    const mfab::Message reply = client.Send(
        0, MakeRequest(mt::kGetUserDataRequest, query.Serialize()),
        hosts[t].Block({UserRootName(sid), EnrollmentName(sid, "Phone")}, {0x0101}, sid));
    ASSERT_EQ(reply.messageType, sim_type::kGetUserDataResponse) << ErrorTextOf(reply);
    mfab::GetUserDataResponse response;
    response.Deserialize(reply.payload);
    EXPECT_EQ(ParseUserData(response.userData).at(0).factors.count("Phone"), 1u);
  }
}

TEST_F(SimConcurrencyTest, ExchangesOnOneSessionRunOneAtATime) {
  SimClient client(host);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const uint32_t sessionId = static_cast<uint32_t>(t * 1000 + round);
        const mfab::Message reply =
            client.Send(0, MakeRequest(mt::kGetPolicyDataRequest, {}, sessionId));
        if (reply.sessionId == sessionId && reply.messageType == sim_type::kGetPolicyDataResponse)
          ++good;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good.load(), kThreads * kRounds);
}

TEST_F(SimConcurrencyTest, HandlesComeAndGoWhileOthersSend) {
  SimClient steady(host);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread sender([&] {
    while (!stop) {
      Bytes reply;
      if (steady.Exchange(0, MakeRequest(mt::kGetPolicyDataRequest).Serialize(), reply) != 0) ++bad;
    }
  });
  for (int i = 0; i < 20; ++i) {
    SimClient transient(host);
    Bytes reply;
    if (transient.Exchange(0, MakeRequest(mt::kGetPolicyDataRequest).Serialize(), reply) != 0)
      ++bad;
  }
  stop = true;
  sender.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace kilnsim::testing
