// Runs the built keystonectl rpc against a server with the fake engine and checks what it prints,
// what the engine received and how it exits; and without a server, its help and command-line
// checks.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "rpc/operation_table.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using keystone::testing::ProgramResult;
using ::testing::HasSubstr;

class RpcCommandTest : public testing::ServerFixture {
 protected:
  void SetUp() override {
    if (!*keystone::testing::kKeystonectlBinary) GTEST_SKIP() << "keystonectl was not built";
    Start();
  }
  // Runs "keystonectl <words>" with the runtime directory where the server listens.
  ProgramResult Ctl(const std::string& words, const std::string& input = "") {
    return keystone::testing::RunProgram(
        keystone::testing::kKeystonectlBinary, keystone::testing::Words(words),
        {.env = {{"KEYSTONE_RUNTIME_DIR", dir.Path()}}, .input = input});
  }
};

// The edge values of every kind of parameter travel through the same marshalling as the client
// library's; null pointers reach the engine as null, a size may disagree with a null array.
TEST_F(RpcCommandTest, PrintsTheOutputsOfTheCallItNames) {
  const struct {
    const char* words;
    const char* input;
    const char* out;
    const char* args;  // nullptr: not checked
  } cases[] = {
      {"GetSessionIdRpc", "", "result=1\n", ""},
      {"1", "", "result=2\n", ""},
      {"releasesessionidrpc sessionId=0x10", "", "", "sessionId=16"},
      {"SendMessageToAppletRpc reserved=3 inBytes=0a0b outSize=16", "",
       "result=0\noutSize=2\noutBuffer=0a0b\n",
       "reserved=3 inSize=2 inBytes=0a0b outSize=16 outBuffer=buf"},
      {"SendMessageToAppletRpc reserved=0 inSize=5 inBytes=null outBuffer=null", "",
       "result=5\noutSize=4096\noutBuffer=null\n",
       "reserved=0 inSize=5 inBytes=null outSize=4096 outBuffer=null"},
      {"SendMessageToAppletRpc reserved=0 inBytes= outSize=null", "",
       "result=5\noutSize=null\noutBuffer=\n",
       "reserved=0 inSize=0 inBytes=empty outSize=null outBuffer=buf"},
      {"SendMessageToAppletRpc reserved=0 inBytes= outSize=0", "",
       "result=0\noutSize=0\noutBuffer=\n",
       "reserved=0 inSize=0 inBytes=empty outSize=0 outBuffer=buf"},
      {"SendMessageToBtDeviceRpc deviceId=01 inBytes=- interactive=1", "aa bb\n",
       "result=0\noutSize=2\noutBuffer=aabb\n", nullptr},
      {"GetRSSIRpc deviceId=0102 mustExist=1 rssi=-60", "", "result=65535\nrssi=-70\n", nullptr},
      {"AuthenticationOnDesktopRpc userSid=ab second=c", "", "result=201\n", nullptr},
      {"MirrorFactorSupportedStatusRpc data=01", "", "result=0xA0000050\n", nullptr},
      {"NotifyAuthenticateStatusAsyncRpc outSize=8", "",
       "result=0\noutSize=2\noutBuffer=c0de\ndataState=3\n", nullptr},
      {"--cancel-after=100 NotifyAuthenticateStatusAsyncRpc", "",
       "result=2\noutSize=0\noutBuffer=\ndataState=5\n", nullptr},
  };
  engine.PublishStatus({0xC0, 0xDE});
  for (const auto& c : cases) {
    const ProgramResult result = Ctl(std::string("rpc ") + c.words, c.input);
    EXPECT_EQ(result.exitCode, 0) << c.words << ": " << result.err;
    EXPECT_EQ(result.out, c.out) << c.words;
    if (c.args) {
      EXPECT_EQ(engine.LastCall().args, c.args) << c.words;
    }
  }
}

TEST_F(RpcCommandTest, HelpListsEveryOperationWithItsParameters) {
  const ProgramResult result = Ctl("rpc --help");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(Ctl("help rpc").out, result.out);
  for (const OperationSpec& op : kOperations) {
    const size_t at = result.out.find(" " + std::string(op.name) + "(");
    ASSERT_NE(at, std::string::npos) << op.name;
    const std::string line = result.out.substr(at, result.out.find('\n', at) - at);
    for (const ParamSpec& p : op.params) EXPECT_THAT(line, HasSubstr(" " + std::string(p.name)));
  }
  EXPECT_THAT(result.out, HasSubstr("in/out bytes[outSize] outBuffer"));
  EXPECT_TRUE(engine.Calls().empty());
}

// Command-line errors exit 2, bad values 1, both before the engine is contacted; so do the
// engine's refusals and an absent engine.
TEST_F(RpcCommandTest, ErrorsExitWithTheirCode) {
  const struct {
    const char* words;
    int exitCode;
    const char* reason;
  } cases[] = {
      {"", 2, ""},
      {"Unknown", 2, ""},
      {"24", 2, ""},
      {"--socket", 2, ""},
      {"--timeout=soon GetSessionIdRpc", 2, ""},
      {"SetUserPresenceRpc nodata=1", 2, ""},
      {"SetUserPresenceRpc data=0g", 1, "data"},
      {"ReleaseSessionIdRpc sessionId=4294967296", 1, ""},
      {"IsRSSISupportedRpc providerType=70000", 1, ""},
      {"ScanRpc scanType=1 outSize=-1", 1, ""},
      {"ScanRpc scanType=1 outBuffer=00", 1, ""},
      {"ReleaseSessionIdRpc sessionId=-42", 1, "1726"},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Ctl(std::string("rpc ") + c.words);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.words << ": " << result.err;
    EXPECT_THAT(result.err, HasSubstr(c.reason)) << c.words;
  }
  EXPECT_EQ(engine.Calls().size(), 1u);

  server.reset();
  ProgramResult result = Ctl("rpc GetSessionIdRpc");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr("cannot reach the engine"));
  EXPECT_THAT(result.err, HasSubstr(options.socketPath));
  EXPECT_THAT(Ctl("rpc --socket " + dir.File("elsewhere") + " GetSessionIdRpc").err,
              HasSubstr(dir.File("elsewhere")));
}

}  // namespace
}  // namespace rpc
