// Several handles, sessions and threads on one state directory at once.

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/applet/protocol.h"
#include "tests/sim/sim_test_support.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;
constexpr int kThreads = 4;
constexpr int kRounds = 25;

class SimConcurrencyTest : public SimTest {
 protected:
  void SetUp() override { SimClient(host).SetPolicy(); }
};

// Runs body(t) on kThreads threads at once; returns the failures they count, one for a throw.
int OnThreads(const std::function<int(int)>& body) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        failures += body(t);
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return failures;
}

std::string SidOf(int thread) { return "S-1-5-21-7-7-7-" + std::to_string(500 + thread); }

// Threads share one session, one exchange at a time, while handles of their own come and go and
// commit changes to the one version table.
TEST_F(SimConcurrencyTest, SharedAndOwnSessionsOfManyThreadsStayConsistent) {
  SimClient shared(host);
  std::vector<HostDouble> hosts(kThreads, host);
  ASSERT_EQ(OnThreads([&](int t) {
              SimClient own(hosts[t]);
              int failures = 0;
              for (int round = 0; round < kRounds; ++round) {
                const uint32_t id = static_cast<uint32_t>(t * 1000 + round);
                const mfab::Message reply =
                    shared.Send(0, MakeRequest(mt::kGetPolicyDataRequest, {}, id));
                failures +=
                    reply.sessionId != id || reply.messageType != sim_type::kGetPolicyDataResponse;
              }
              return failures + (own.Run(EnrollRequest(SidOf(t), "Phone")).messageType !=
                                 mt::kSaveEnrollmentDataResponse);
            }),
            0);

  // Every thread's change is in force: each user's blobs are accepted by a fresh session.
  for (int t = 0; t < kThreads; ++t) {
    const mfab::Message reply = SimClient(hosts[t]).GetUserData(SidOf(t));
    ASSERT_EQ(reply.messageType, sim_type::kGetUserDataResponse) << ErrorTextOf(reply);
    EXPECT_EQ(UsersOf(reply).at(0).factors.count("Phone"), 1u);
  }
}

}  // namespace
}  // namespace kilnsim::testing
