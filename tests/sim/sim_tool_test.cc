// keystonectl sim against the library: what the tool writes is what the firmware does.

#include <stdio.h>

#include <gtest/gtest.h>

#include "tests/sim/sim_test_support.h"

#ifdef KEYSTONECTL_BINARY

namespace kilnsim::testing {
namespace {

// Runs keystonectl with the arguments; returns its exit status and standard output.
std::pair<int, std::string> Keystonectl(const std::string& arguments) {
  FILE* pipe =
      ::popen((std::string(KEYSTONECTL_BINARY) + " " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return {-1, {}};
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WEXITSTATUS(status), output};
}

class SimToolTest : public ::testing::Test {
 protected:
  SimStateDir state;
  HostDouble host;
};

TEST_F(SimToolTest, FaultsAndVersionReachTheLibrary) {
  SimClient client(host);
  ASSERT_EQ(Keystonectl("sim fault status CreateSession '0x1004*2' 0").first, 0);
  ASSERT_EQ(Keystonectl("sim version 3.3.0.9").first, 0);
  Bytes init;
  mfab::AppendTlvInt(init, 0x0000, 3);
  EXPECT_EQ(client.Open(init), 0x1004u);
  EXPECT_EQ(client.Open(init), 0x1004u);
  EXPECT_EQ(client.Open(init), 0u);
  KILN_VERSION_INFO info{};
  ASSERT_EQ(Kiln().getVersionInfo(client.Handle(), &info), 0u);
  EXPECT_STREQ(info.firmwareVersion, "3.3.0.9");

  const auto [status, output] = Keystonectl("sim status");
  EXPECT_EQ(status, 0);
  EXPECT_NE(output.find("version 3.3.0.9"), std::string::npos);
  EXPECT_NE(output.find("status CreateSession 0x1004*2 0"), std::string::npos);
  EXPECT_EQ(Keystonectl("sim fault explode").first, 2);
  EXPECT_EQ(Keystonectl("sim svn lots").first, 1);
}

TEST_F(SimToolTest, RaisedSvnDemandsTheUpgrade) {
  SimClient client(host);
  ASSERT_EQ(client.Run(MakeRequest(0xABBA000D, SamplePolicy())).messageType, 0xABBA000Eu);
  ASSERT_EQ(Keystonectl("sim svn 2").first, 0);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(0xABBA0065))), 0x7F24);
  EXPECT_NE(Keystonectl("sim status").second.find("file _Sys$Policy"), std::string::npos);
}

}  // namespace
}  // namespace kilnsim::testing

#endif  // KEYSTONECTL_BINARY
