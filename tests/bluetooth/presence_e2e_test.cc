// End to end: a real keystone-engine over the simulated phones, asked with keystonectl whether
// the phone is present while the phone is taken in and out of reach.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "sim/phones/bluetooth_selection.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_paths.h"
#include "tests/sim/phone_sim_test_support.h"

namespace keystone::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr char kPhone[] = "5C:F3:70:12:34:56";

class PresenceE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*kEngineBinary || !*kKeystonectlBinary || !*kKilnSimLibrary) {
      GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
    }
    ASSERT_TRUE(phones.Ready());
    phones.Must(std::string("ADD ") + kPhone + " 5A020C 1 Phone");
    SetValue(keystone::kSecureBtKey, phonesim::kSimulatedPhonesValue,
             platform::RegValue::String(phones.ControlPath()));
    // Short waits and a fast re-check keep the test quick; the out-of-range budget is replaced.
    SetDword("PeriodicFoundInterval", 1);
    SetDword("IsPresentTimeout", 2);
    SetDword("IsPresentTimeoutFirstCall", 10);
    SetDword("NoRetriesInit", 2);
    SetDword("NoRetries", 11);
  }

  void SetValue(const char* key, const std::string& name, const platform::RegValue& value) {
    std::filesystem::create_directories(engine.StateDir());
    std::filesystem::permissions(engine.StateDir(), std::filesystem::perms(0755));
    auto registry = platform::OpenRegistry(engine.StateDir() + "/registry.db");
    platform::WriteRegistryValue(*registry, key, name, value);
  }
  void SetDword(const std::string& name, uint32_t value) {
    SetValue(keystone::kSoftBtKey, name, platform::RegValue::Dword(value));
  }
  std::optional<std::string> StoredDevice() {
    auto registry = platform::OpenRegistry(engine.StateDir() + "/registry.db");
    return platform::ReadRegistryString(*registry, keystone::kSoftBtKey, "Device");
  }
  ProgramResult Presence(std::vector<std::string> args) {
    args.insert(args.begin(), "presence");
    args.insert(args.end(), {"--socket", engine.RuntimeDir() + "/IVoxWithMfa"});
    return engine.Ctl(args);
  }
  // The simulated applet's question, which the engine answers through the same monitor.
  ProgramResult AppletPhoneCheck() {
    return engine.Ctl(
        {"applet", "phone-check", kPhone, "--socket", engine.RuntimeDir() + "/IVoxWithMfa"});
  }
  // Asks until the answer is wanted ("yes" or "no"), at most limit.
  bool EventuallyPresent(const std::string& wanted, std::chrono::milliseconds limit = 30s) {
    return Eventually(
        [&] { return Presence({"status", kPhone}).out.find("present: " + wanted) != std::string::npos; },
        limit);
  }

  PhoneSimProcess phones;
  EngineProcess engine{kEngineBinary, kKeystonectlBinary, 30s};
};

TEST_F(PresenceE2eTest, PhoneInReachIsPresent) {
  ASSERT_TRUE(engine.Start());
  const ProgramResult result = Presence({"status", kPhone});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("status: 0"));
  EXPECT_THAT(result.out, HasSubstr("present: yes"));
  EXPECT_EQ(StoredDevice(), "5c:f3:70:12:34:56");
  const std::string log = engine.Log();
  EXPECT_THAT(log, HasSubstr("IsFound with timeout of 10"));
  EXPECT_THAT(log, HasSubstr("Configuration: No. retries 1"));
  EXPECT_THAT(engine.Ctl({"status", "--json"}).out,
              HasSubstr("\"component.phone_presence\":\"present\""));
  // The simulated applet's question is answered by the same monitor.
  const ProgramResult applet = AppletPhoneCheck();
  EXPECT_EQ(applet.exitCode, 0) << applet.out << applet.err;
  for (const char* line : {"messageType = 0xabba00f5", "result (0x7b08) = 0",
                           "text (0x6a07) = \"the host says phone 5cf3701234560100 is present\"",
                           "phone 5cf3701234560100 present"}) {
    EXPECT_THAT(applet.out, HasSubstr(line));
  }
  EXPECT_TRUE(engine.WaitForLog("Check phone 5cf3701234560100 is present"));
}

TEST_F(PresenceE2eTest, PhoneOutOfReachIsAbsentUntilItReturns) {
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(EventuallyPresent("yes"));
  phones.Must(std::string("RANGE ") + kPhone + " out");
  EXPECT_TRUE(EventuallyPresent("no"));
  EXPECT_TRUE(engine.WaitForLog(">>>> NOT FOUND "));
  const ProgramResult applet = AppletPhoneCheck();
  EXPECT_EQ(applet.exitCode, 1);
  EXPECT_THAT(applet.out, HasSubstr("result (0x7b08) = 1"));
  EXPECT_THAT(applet.out, HasSubstr("phone 5cf3701234560100 not present"));
  phones.Must(std::string("RANGE ") + kPhone + " in");
  EXPECT_TRUE(EventuallyPresent("yes"));
}

TEST_F(PresenceE2eTest, FlappingPhoneLeavesTheEngineAnswering) {
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(EventuallyPresent("yes"));
  for (int i = 0; i < 20; ++i) {
    phones.Must(std::string("RANGE ") + kPhone + (i % 2 == 0 ? " out" : " in"));
  }
  EXPECT_TRUE(EventuallyPresent("yes"));
  EXPECT_EQ(engine.Ctl({"status", "--json"}).exitCode, 0);
}

TEST_F(PresenceE2eTest, UserPresenceIsAccepted) {
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(EventuallyPresent("yes"));
  const ProgramResult result = Presence({"user", "on", kPhone});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("result: 0"));
  EXPECT_TRUE(engine.WaitForLog("SetUserPresence 5cf370123456"));
}

TEST_F(PresenceE2eTest, MalformedIdGetsItsStatus) {
  ASSERT_TRUE(engine.Start());
  const ProgramResult result = Presence({"status", "5cf3701234"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.out, HasSubstr("status: 1"));
  EXPECT_TRUE(engine.WaitForLog("BluetoothException: Bluetooth device's id is invalid"));
  EXPECT_EQ(Presence({"user", "on", "5cf3701234"}).out, "result: 0\n");
}

}  // namespace
}  // namespace keystone::testing
