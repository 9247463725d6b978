#include "rpc/rpc_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "rpc/client/client.h"
#include "tests/fakes/log_capture.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using keystone::testing::LogCapture;

class RpcServerTest : public ::testing::Test {
 protected:
  ~RpcServerTest() override { capture->Uninstall(); }

  // Whether the log holds this message at level error.
  bool LoggedError(const std::string& message) {
    for (const LogCapture::Entry& entry : capture->Entries()) {
      if (entry.record.message == message) return entry.record.level == mfab::kLogError;
    }
    return false;
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  keystone::testing::TempDirectory dir;
  testing::FakeEngine engine;
  RpcListener listener;
  ServerOptions options = testing::TestServerOptions(dir.File("rt/IVoxWithMfa"));
};

TEST_F(RpcServerTest, ListeningStepsLogTheirFailuresWithTheirCodes) {
  EXPECT_FALSE(listener.RpcStartListening(nullptr, options));
  EXPECT_TRUE(LoggedError("RpcServerRegisterIf failed (87)"));
  // A path too long for a socket.
  ServerOptions tooLong = testing::TestServerOptions(dir.File(std::string(120, 'x')));
  EXPECT_FALSE(listener.RpcStartListening(&engine, tooLong));
  EXPECT_TRUE(LoggedError("RpcServerUseProtseqEp failed (36)"));

  ASSERT_TRUE(listener.RpcStartListening(&engine, options));
  Client client(options.socketPath);
  EXPECT_EQ(client.GetSessionIdRpc(), 1);
  // A second start while listening fails at the endpoint step.
  EXPECT_FALSE(listener.RpcStartListening(&engine, options));
  EXPECT_TRUE(LoggedError("RpcServerUseProtseqEp failed (1740)"));

  listener.RpcStopListening();
  EXPECT_FALSE(std::filesystem::exists(options.socketPath));
  EXPECT_THROW(client.GetSessionIdRpc(), TransportError);
  listener.RpcStopListening();
  EXPECT_TRUE(LoggedError("RpcMgmtStopServerListening failed (1715)"));

  // A plain file where the runtime directory should be.
  std::filesystem::remove_all(dir.File("rt"));
  std::ofstream(dir.File("rt")) << "x";
  EXPECT_FALSE(listener.RpcStartListening(&engine, options));
  EXPECT_TRUE(LoggedError("RpcServerUseProtseqEp failed (20)"));
}

}  // namespace
}  // namespace rpc
