// keystonectl sim against the library: what the tool writes is what the firmware does.

#include <gtest/gtest.h>

#include "tests/fakes/program_runner.h"
#include "tests/sim/sim_test_support.h"

#ifdef KEYSTONECTL_BINARY

namespace kilnsim::testing {
namespace {

// Runs keystonectl with the words; the simulator's state directory is the test's (SimTest).
keystone::testing::ProgramResult Keystonectl(const std::string& words) {
  return keystone::testing::RunProgram(KEYSTONECTL_BINARY, keystone::testing::Words(words));
}

using SimToolTest = SimTest;

TEST_F(SimToolTest, SimCommandsReachTheLibrary) {
  SimClient client;
  ASSERT_EQ(client.Run(MakeRequest(0xABBA000D, SamplePolicy())).messageType, 0xABBA000Eu);
  ASSERT_EQ(Keystonectl("sim fault status CreateSession 0x1004*2 0").exitCode, 0);
  ASSERT_EQ(Keystonectl("sim version 3.3.0.9").exitCode, 0);
  EXPECT_EQ(client.Open(InitData()), 0x1004u);
  KILN_VERSION_INFO info{};
  ASSERT_EQ(Kiln().GetVersionInfo(client.Handle(), &info), 0u);
  EXPECT_STREQ(info.firmwareVersion, "3.3.0.9");

  ASSERT_EQ(Keystonectl("sim svn 2").exitCode, 0);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(0xABBA0065))), 0x7F24);
  const auto [status, output, errors] = Keystonectl("sim status");
  EXPECT_EQ(status, 0) << errors;
  for (const char* line :
       {"version 3.3.0.9", "status CreateSession 0x1004*2 0", "file _Sys$Policy"})
    EXPECT_NE(output.find(line), std::string::npos) << line;
  EXPECT_EQ(Keystonectl("sim fault explode").exitCode, 2);
  EXPECT_EQ(Keystonectl("sim svn lots").exitCode, 1);
}

}  // namespace
}  // namespace kilnsim::testing

#endif  // KEYSTONECTL_BINARY
