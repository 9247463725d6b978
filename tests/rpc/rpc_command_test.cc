// Runs the built keystonectl against a server with the fake engine and checks what it prints,
// what the engine received and how it exits.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "rpc/server.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using testing::FakeEngine;
using testing::TempDir;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class RpcCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef KEYSTONECTL_BINARY
    GTEST_SKIP() << "keystonectl is not part of this build";
#endif
    options = testing::TestServerOptions(dir.path + "/IVoxWithMfa");
    server = std::make_unique<Server>(engine, options);
    server->UseEndpoint();
    server->Listen();
  }

  // Runs "keystonectl rpc --socket PATH <arguments>" through the shell.
  Outcome Run(const std::string& arguments, const std::string& input = "") {
    const std::string in = dir.path + "/in", out = dir.path + "/out", err = dir.path + "/err";
    std::ofstream(in) << input;
    std::string command;
#ifdef KEYSTONECTL_BINARY
    command = std::string(KEYSTONECTL_BINARY);
#endif
    command += " rpc --socket " + options.socketPath + " " + arguments + " <" + in + " >" + out +
               " 2>" + err;
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

  TempDir dir;
  FakeEngine engine;
  ServerOptions options;
  std::unique_ptr<Server> server;
};

TEST_F(RpcCommandTest, CallsByNameOrNumberAndPrintsTheResult) {
  Outcome outcome = Run("GetSessionIdRpc");
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "result=1\n");
  outcome = Run("1");
  EXPECT_EQ(outcome.out, "result=2\n");
  outcome = Run("releasesessionidrpc sessionId=0x10");
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(engine.LastCall().args, "sessionId=16");
}

TEST_F(RpcCommandTest, BytesAndOutputPairs) {
  Outcome outcome = Run("SendMessageToAppletRpc reserved=3 inBytes=0a0b outSize=16");
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "result=0\noutSize=2\noutBuffer=0a0b\n");
  EXPECT_EQ(engine.LastCall().args, "reserved=3 inSize=2 inBytes=0a0b outSize=16 outBuffer=buf");

  // Null pointers reach the engine as null; a size may disagree with a null array.
  outcome = Run("SendMessageToAppletRpc reserved=0 inSize=5 inBytes=null outBuffer=null");
  EXPECT_EQ(outcome.out, "result=5\noutSize=4096\noutBuffer=null\n");
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=5 inBytes=null outSize=4096 outBuffer=null");
  outcome = Run("SendMessageToAppletRpc reserved=0 inBytes= outSize=null");
  EXPECT_EQ(outcome.out, "result=5\noutSize=null\noutBuffer=\n");
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=0 inBytes=empty outSize=null outBuffer=buf");

  // Too small: the size is left as it was.
  outcome = Run("SendMessageToAppletRpc reserved=0 inBytes=010203 outSize=2");
  EXPECT_EQ(outcome.out, "result=1\noutSize=2\noutBuffer=0000\n");

  // Hex from standard input.
  outcome = Run("SendMessageToBtDeviceRpc deviceId=- interactive=1", "aa bb\n");
  EXPECT_EQ(outcome.out, "result=0\noutSize=2\noutBuffer=aabb\n");
}

TEST_F(RpcCommandTest, ReferencesStringsAndStatusResults) {
  Outcome outcome = Run("IsRSSISupportedRpc providerType=2 supported=5");
  EXPECT_EQ(outcome.out, "result=0\nsupported=7\n");
  outcome = Run("GetRSSIRpc deviceId=0102 mustExist=1 rssi=-60");
  EXPECT_EQ(outcome.out, "result=65535\nrssi=-70\n");
  outcome = Run("AuthenticationOnDesktopRpc userSid=ab second=c");
  EXPECT_EQ(outcome.out, "result=201\n");
  outcome = Run("MirrorFactorSupportedStatusRpc data=01");
  EXPECT_EQ(outcome.out, "result=0xA0000050\n");
  outcome = Run("GetDiscoveryInfoRpc kind=1 first=p second=q data=21");
  EXPECT_EQ(outcome.out, "result=0\noutSize=5\noutBuffer=707c717c21\n");
}

TEST_F(RpcCommandTest, AsyncCallDeliversOrIsCancelled) {
  engine.PublishStatus({0xC0, 0xDE});
  Outcome outcome = Run("NotifyAuthenticateStatusAsyncRpc outSize=8");
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "result=0\noutSize=2\noutBuffer=c0de\ndataState=3\n");

  outcome = Run("--cancel-after=100 NotifyAuthenticateStatusAsyncRpc");
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "result=2\noutSize=0\noutBuffer=\ndataState=5\n");
}

TEST_F(RpcCommandTest, BadValuesAndTransportFailuresExitOne) {
  Outcome outcome = Run("SendMessageToAppletRpc reserved=0 inBytes=zz");
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.err.find("inBytes"), std::string::npos);
  outcome = Run("IsRSSISupportedRpc providerType=70000");
  EXPECT_EQ(outcome.exitCode, 1);
  outcome = Run("ScanRpc scanType=1 outSize=-1");
  EXPECT_EQ(outcome.exitCode, 1);
  outcome = Run("ReleaseSessionIdRpc sessionId=-42");
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.err.find("1726"), std::string::npos) << outcome.err;

  server.reset();
  outcome = Run("GetSessionIdRpc");
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.err.find("cannot reach the engine"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace rpc
