// Several handles, sessions and threads on one state directory at once.

#include <atomic>
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
using SimConcurrencyTest = SimTest;

std::string SidOf(int thread) { return "S-1-5-21-7-7-7-" + std::to_string(500 + thread); }

// Threads share one session, one exchange at a time, while handles of their own come and go and
// commit changes to the one version table.
TEST_F(SimConcurrencyTest, SessionsOfManyThreadsStayConsistent) {
  const mfab::Message setPolicy = MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy());
  SimClient shared;
  ASSERT_EQ(shared.Run(setPolicy).messageType, sim_type::kSetPolicyResponse);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        SimClient own;
        failures += own.Run(setPolicy).messageType != sim_type::kSetPolicyResponse;
        for (int round = 0; round < kRounds; ++round) {
          const uint32_t id = static_cast<uint32_t>(t * 1000 + round);
          const mfab::Message reply =
              shared.Send(0, MakeRequest(mt::kGetPolicyDataRequest, {}, id));
          failures +=
              reply.sessionId != id || reply.messageType != sim_type::kGetPolicyDataResponse;
        }
        failures += own.Run(EnrollRequest(SidOf(t), "Phone")).messageType !=
                    mt::kSaveEnrollmentDataResponse;
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);

  // Every thread's changes are in the table.
  const std::string versions = state.ReadFile("versions");
  for (int t = 0; t < kThreads; ++t)
    EXPECT_NE(versions.find("file _U" + SidOf(t) + "$EPhone "), std::string::npos) << versions;
}

}  // namespace
}  // namespace kilnsim::testing
