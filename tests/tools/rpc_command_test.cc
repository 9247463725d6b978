// Runs the built keystonectl rpc without a server: its help, its command-line checks and its
// report of an engine that is not there. Calls against a server are tested with the RPC layer.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "rpc/operation_table.h"

namespace {

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class RpcCommandToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef KEYSTONECTL_BINARY
    GTEST_SKIP() << "keystonectl is not part of this build";
#endif
  }

  // Runs "keystonectl <arguments>" with the runtime directory pointed at an empty place.
  Outcome Run(const std::string& arguments) {
    const std::string dir = ::testing::TempDir();
    const std::string out = dir + "rpc_out.txt", err = dir + "rpc_err.txt";
    std::string command = "KEYSTONE_RUNTIME_DIR=" + dir + "no-engine-here ";
#ifdef KEYSTONECTL_BINARY
    command += KEYSTONECTL_BINARY;
#endif
    command += " " + arguments + " </dev/null >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Slurp(out);
    outcome.err = Slurp(err);
    return outcome;
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
};

TEST_F(RpcCommandToolTest, HelpListsEveryOperationWithItsParameters) {
  for (const char* arguments : {"rpc --help", "help rpc"}) {
    const Outcome outcome = Run(arguments);
    EXPECT_EQ(outcome.exitCode, 0);
    for (const rpc::OperationSpec& op : rpc::kOperations) {
      const size_t at = outcome.out.find(" " + std::string(op.name) + "(");
      ASSERT_NE(at, std::string::npos) << op.name;
      const std::string line = outcome.out.substr(at, outcome.out.find('\n', at) - at);
      for (const rpc::ParamSpec& p : op.params) {
        EXPECT_NE(line.find(" " + std::string(p.name)), std::string::npos) << op.name << " " << p.name;
      }
    }
  }
  EXPECT_NE(Run("rpc --help").out.find("in/out bytes[outSize] outBuffer"), std::string::npos);
}

TEST_F(RpcCommandToolTest, MissingEngineIsATransportFailure) {
  const Outcome outcome = Run("rpc GetSessionIdRpc");
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_NE(outcome.err.find("no-engine-here/IVoxWithMfa"), std::string::npos) << outcome.err;
}

TEST_F(RpcCommandToolTest, BadCommandLinesExitTwoAndBadValuesOne) {
  EXPECT_EQ(Run("rpc").exitCode, 2);
  EXPECT_EQ(Run("rpc Unknown").exitCode, 2);
  EXPECT_EQ(Run("rpc 24").exitCode, 2);
  EXPECT_EQ(Run("rpc --socket").exitCode, 2);
  EXPECT_EQ(Run("rpc --timeout=soon GetSessionIdRpc").exitCode, 2);
  EXPECT_EQ(Run("rpc SetUserPresenceRpc nodata=1").exitCode, 2);
  // Values are checked before the engine is contacted.
  const Outcome bad = Run("rpc SetUserPresenceRpc data=0g");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("data"), std::string::npos);
  EXPECT_EQ(Run("rpc ReleaseSessionIdRpc sessionId=4294967296").exitCode, 1);
  EXPECT_EQ(Run("rpc TriggerDataBackupRpc mode=1 user=x outBuffer=null").exitCode, 2);
  EXPECT_EQ(Run("rpc ScanRpc scanType=1 outBuffer=00").exitCode, 1);
}

}  // namespace
