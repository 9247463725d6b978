#include "applet/session_init_data.h"

#include <gtest/gtest.h>

#include "common/config_keys.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using platform::RegValue;

// The cap at 3 for newer systems is checked in the session tests (their registry is the newest).
TEST(SessionInitDataTest, AnnouncesTheOsGeneration) {
  auto capture = keystone::testing::LogCapture::Install();
  SetLogThreshold(LogSink::kService, 4);
  keystone::testing::MemoryRegistry registry;
  auto version = platform::CreateOsVersion(registry);
  const struct {
    const char* key;
    RegValue value;
    uint8_t generation;
    const char* name;
  } cases[] = {{"CurrentBuildNumber", RegValue::String("10586"), 2, "WIN_10_RS1"},
               {"CurrentBuildNumber", RegValue::String("15063"), 3, "WIN_10_RS2"},
               {"CurrentMajorVersionNumber", RegValue::Dword(6), 1, "WIN_7"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey, c.key, c.value);
    if (c.generation == 1) {
      platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                   "CurrentMinorVersionNumber", RegValue::Dword(1));
    }
    EXPECT_EQ(SessionInitData(*version).Serialize(), (Bytes{0, 0, 0, 4, 0, 0, 0, c.generation}));
    EXPECT_TRUE(capture->Has(std::string("OS Version : ") + c.name));
  }
  capture->Uninstall();
}

}  // namespace
}  // namespace mfab
