// keystonectl callbacks, run as a program: what the engine's calls get from it.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/status.h"
#include "platform/unix_socket.h"
#include "rpc/protocol.h"
#include "rpc/server_to_client.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_runner.h"

namespace rpc {
namespace {

using keystone::testing::EnvChanges;
using std::chrono::milliseconds;

constexpr uint32_t kEndpoint = 11;

class CallbackCommandTest : public ::testing::Test {
 protected:
  // Starts "keystonectl callbacks serve" and waits until it listens.
  void Serve(const std::string& pin) {
    env = {{"KEYSTONE_RUNTIME_DIR", dir.Path()}, {"KS_TEST_PIN", pin}};
    // What the engine makes when it starts.
    std::filesystem::create_directory(CallbackDirectory(dir.Path()));
    std::filesystem::permissions(CallbackDirectory(dir.Path()),
                                 std::filesystem::perms(kCallbackDirectoryMode));
    pid = keystone::testing::SpawnProgram(KEYSTONECTL_BINARY,
                                          {"callbacks", "serve", std::to_string(kEndpoint),
                                           "--pin-from-env", "KS_TEST_PIN", "--assume-yes"},
                                          env, dir.File("serve.log"));
    ASSERT_TRUE(keystone::testing::Eventually([&] {
      return keystone::testing::ReadFileText(dir.File("serve.log")).find("serving callbacks at") !=
             std::string::npos;
    })) << keystone::testing::ReadFileText(dir.File("serve.log"));
  }
  int StopServing() {
    ::kill(pid, SIGINT);
    const int code = keystone::testing::WaitForExit(pid, milliseconds(10'000));
    pid = -1;
    return code;
  }
  void TearDown() override {
    if (pid > 0) StopServing();
  }
  mfab::Server2ClientInvoke Invoke() const {
    mfab::Server2ClientOptions options;
    options.runtimeDirectory = dir.Path();
    options.callTimeout = milliseconds(10'000);
    return mfab::Server2ClientInvoke(kEndpoint, 3, platform::CurrentUserId(), options);
  }

  keystone::testing::TempDirectory dir;
  EnvChanges env;
  pid_t pid = -1;
};

TEST_F(CallbackCommandTest, AnswersThePinAndStopsOnInterrupt) {
  Serve("975310");
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), 0u);
  EXPECT_EQ(pin, "975310");
  const auto ping = keystone::testing::RunProgram(
      KEYSTONECTL_BINARY, {"callbacks", "ping", std::to_string(kEndpoint)}, {env});
  EXPECT_EQ(ping.exitCode, 0) << ping.err;
  const std::string socket = CallbackEndpointPath(dir.Path(), platform::CurrentUserId(), kEndpoint);
  EXPECT_NE(ping.out.find(socket + ": 0"), std::string::npos) << ping.out;
  EXPECT_EQ(StopServing(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(CallbackCommandTest, RefusesAPinLongerThanTheEngineTakes) {
  Serve(std::string(257, '1'));
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), keystone::kStatusInvalidParameter);
  EXPECT_TRUE(pin.empty());
}

// Until the card signer is linked in, a signature request is answered with the smart-card
// error, never with a signature.
TEST_F(CallbackCommandTest, SignatureWithoutACardSignerFails) {
  Serve("1");
  mfab::Bytes signature;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), mfab::Bytes(32, 1), signature, "00ff"),
            keystone::kStatusSmartCardGeneralError);
  EXPECT_TRUE(signature.empty());
}

TEST_F(CallbackCommandTest, PingWithoutAServerFails) {
  const auto ping = keystone::testing::RunProgram(KEYSTONECTL_BINARY,
                                                  {"callbacks", "ping", std::to_string(kEndpoint)},
                                                  {{{"KEYSTONE_RUNTIME_DIR", dir.Path()}}});
  EXPECT_EQ(ping.exitCode, 1);
  EXPECT_NE(ping.out.find(": 1708"), std::string::npos) << ping.out;
}

}  // namespace
}  // namespace rpc
