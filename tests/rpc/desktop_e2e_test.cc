// End to end: AuthenticationOnDesktopRpc through the client library against a real
// keystone-engine, whose console session comes from a logind stand-in on a bus of the test's
// own, and which starts the build's signed test program as the desktop program.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/status.h"
#include "platform/accounts.h"
#include "platform/registry.h"
#include "rpc/client/client.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/fake_logind.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/test_signing.h"

namespace rpc {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kNobody = 65534;
constexpr int32_t kFailure = static_cast<int32_t>(keystone::kStatusGeneralFailure);
constexpr int32_t kNotSigned = static_cast<int32_t>(0xA0000047);

// Calls the operation as whoever runs it; the argument is "socket sid second". Exits with the
// result's low byte.
[[maybe_unused]] const bool kDesktopCallRole =
    keystone::testing::HelperRole("desktop-call", [](const std::string& argument) {
      const std::vector<std::string> words = keystone::testing::Words(argument);
      return static_cast<int>(
          Client(words.at(0)).AuthenticationOnDesktopRpc(words.at(1).c_str(), words.at(2).c_str()) &
          0xFF);
    });

// Root may ask for any user, another user only for itself; the program runs in the session
// logind names, and only while its signature verifies.
TEST(DesktopE2eTest, TheTrustedProgramRunsInTheConsoleSessionForItsCaller) {
  using namespace keystone::testing;
  if (!*kEngineBinary || !*kTestDesktopProgram) GTEST_SKIP() << "the programs were not built";
  FakeLogind logind;
  if (!logind.Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
  TempDirectory dir;
  EngineProcess engine(kEngineBinary, kKeystonectlBinary);
  // Traversable for a client of another user; writable for the program's reports.
  fs::permissions(engine.Root(), fs::perms(0755));
  ::chmod(dir.Path().c_str(), 0777);
  fs::create_directory(dir.File("bin"));
  const std::string program =
      CopySigned(kTestDesktopProgram, dir.File("bin"), "keystone-desktop-auth");
  engine.SetEngineValue(keystone::kImagePathValue,
                        platform::RegValue::String(dir.File("bin/keystone-engine")));
  engine.SetEngineValue(keystone::kTrustedSignersValue,
                        platform::RegValue::MultiString({ThumbprintOf(kTestSignerCert)}));
  engine.Env().push_back({"DBUS_SYSTEM_BUS_ADDRESS", logind.Address()});
  logind.SetActive(FakeLogind::Session{
      .id = "c1", .uid = kNobody, .kind = "greeter", .display = ":9", .runtimePath = dir.Path()});
  ASSERT_TRUE(engine.Start());
  const std::string socket = engine.RuntimeDir() + "/IVoxWithMfa";
  Client client(socket);

  const std::string sid = "S-1-5-21-1-2-3-1000";
  const std::string report = dir.File("report");
  EXPECT_EQ(client.AuthenticationOnDesktopRpc(sid.c_str(), ("report:" + report).c_str()), 0);
  const std::string text = ReadFileText(report);
  EXPECT_NE(text.find("uid=65534\n"), std::string::npos) << text;
  EXPECT_NE(text.find("arg1=" + sid + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("DISPLAY=:9\n"), std::string::npos) << text;

  const std::string nobodySid = platform::SystemAccounts().UserSid(kNobody);
  EXPECT_EQ(RunHelper("desktop-call", socket + " " + nobodySid + " exit:3", kNobody), 3);
  EXPECT_EQ(RunHelper("desktop-call", socket + " " + sid + " exit:3", kNobody), kFailure & 0xFF);
  EXPECT_TRUE(engine.WaitForLog("RPC caller user SID doesn't match user received from Arguments"));

  std::string bytes = ReadFileText(program);
  bytes[bytes.size() / 2] ^= 0x01;
  std::ofstream(program, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(client.AuthenticationOnDesktopRpc(sid.c_str(), "exit:0"), kNotSigned);
  EXPECT_TRUE(engine.WaitForLog("VerifyFileCertificate failed, file path (" + program));
  EXPECT_EQ(engine.Stop(), 0) << "the engine did not stop cleanly";
}

}  // namespace
}  // namespace rpc
