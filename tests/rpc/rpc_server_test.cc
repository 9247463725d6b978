#include "rpc/rpc_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/status.h"
#include "rpc/client/client.h"
#include "tests/fakes/log_capture.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using keystone::testing::LogCapture;
using testing::FakeEngine;
using testing::TempDir;

class RpcServerTest : public ::testing::Test {
 protected:
  void SetUp() override { capture = LogCapture::Install(); }
  void TearDown() override { capture->Uninstall(); }

  // The level of the first record with this message, or -1.
  int LevelOf(const std::string& message) {
    for (const LogCapture::Entry& entry : capture->Entries()) {
      if (entry.record.message == message) return entry.record.level;
    }
    return -1;
  }

  std::shared_ptr<LogCapture> capture;
};

TEST_F(RpcServerTest, PopulateOutputRefusesNullsKeepsTheSizeWhenTooSmallAndCopiesWhatFits) {
  const std::vector<uint8_t> reply = {1, 2, 3};
  uint8_t buffer[3] = {};
  int32_t size = 3;
  EXPECT_EQ(populateOutput(reply, nullptr, buffer), keystone::kStatusInvalidParameter);
  EXPECT_EQ(populateOutput(reply, &size, nullptr), keystone::kStatusInvalidParameter);
  EXPECT_EQ(capture->Count("outBufferSize or outBuffer is null"), 2u);
  EXPECT_EQ(LevelOf("outBufferSize or outBuffer is null"), mfab::kLogError);

  size = 2;
  EXPECT_EQ(populateOutput(reply, &size, buffer), keystone::kStatusBufferTooSmall);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LevelOf("insufficient buffer size"), mfab::kLogError);

  size = 3;
  EXPECT_EQ(populateOutput(reply, &size, buffer), keystone::kStatusSuccess);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(populateOutput(std::vector<uint8_t>{}, &size, buffer), keystone::kStatusSuccess);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(capture->Count("PopulateOutput"), 5u);
}

TEST_F(RpcServerTest, GetClientPidReadsTheCallersIdentity) {
  CallContext known(5, CallerIdentity{4321, 1000, 1000});
  EXPECT_EQ(GetClientPid(known), 4321u);
  EXPECT_TRUE(capture->Entries().empty());

  CallContext unknown(5, std::nullopt, 95);
  EXPECT_EQ(GetClientPid(unknown), 0u);
  EXPECT_EQ(LevelOf("Failed to retrieve client PID. Error code: 95"), mfab::kLogError);
}

class ListeningTest : public RpcServerTest {
 protected:
  void SetUp() override {
    RpcServerTest::SetUp();
    options = testing::TestServerOptions(dir.path + "/rt/IVoxWithMfa");
  }
  void TearDown() override {
    RpcStopListening();
    RpcServerTest::TearDown();
  }

  TempDir dir;
  FakeEngine engine;
  ServerOptions options;
};

TEST_F(ListeningTest, StartServesCallsAndStopRemovesTheEndpoint) {
  ASSERT_TRUE(RpcStartListening(&engine, options));
  Client client(options.socketPath);
  EXPECT_EQ(client.GetSessionIdRpc(), 1);
  EXPECT_EQ(engine.LastCall().caller->pid, GetClientPid(CallContext(1, engine.LastCall().caller)));

  // A second start while listening fails at the endpoint step.
  EXPECT_FALSE(RpcStartListening(&engine, options));
  EXPECT_EQ(LevelOf("RpcServerUseProtseqEp failed (1740)"), mfab::kLogError);

  RpcStopListening();
  EXPECT_FALSE(std::filesystem::exists(options.socketPath));
  EXPECT_THROW(client.GetSessionIdRpc(), TransportError);
  capture->Clear();
  RpcStopListening();
  EXPECT_EQ(LevelOf("RpcMgmtStopServerListening failed (1715)"), mfab::kLogError);
}

TEST_F(ListeningTest, EachFailingStepIsLoggedWithItsCode) {
  EXPECT_FALSE(RpcStartListening(nullptr, options));
  EXPECT_EQ(LevelOf("RpcServerRegisterIf failed (87)"), mfab::kLogError);

  // A plain file where the runtime directory should be.
  { std::ofstream(dir.path + "/rt") << "x"; }
  EXPECT_FALSE(RpcStartListening(&engine, options));
  EXPECT_EQ(LevelOf("RpcServerUseProtseqEp failed (20)"), mfab::kLogError);

  // A path too long for a socket.
  options.socketPath = dir.path + "/" + std::string(120, 'x');
  EXPECT_FALSE(RpcStartListening(&engine, options));
  EXPECT_EQ(LevelOf("RpcServerUseProtseqEp failed (36)"), mfab::kLogError);
}

}  // namespace
}  // namespace rpc
