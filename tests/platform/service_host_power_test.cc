#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/config_keys.h"
#include "platform/power_capabilities.h"
#include "platform/registry.h"

namespace platform {
namespace {

class PowerCapabilitiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-power-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
    memSleep = dir + "/mem_sleep";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  void WriteMemSleep(const std::string& text) { std::ofstream(memSleep) << text; }
  bool Query(Registry* registry, bool& aoAc) {
    SystemPowerCapabilities caps;
    caps.aoAc = !aoAc;  // must be overwritten on success
    const bool ok = CreatePowerCapabilities(registry, memSleep)->Query(caps);
    aoAc = caps.aoAc;
    return ok;
  }

  std::string dir;
  std::string memSleep;
};

TEST_F(PowerCapabilitiesTest, SelectedS2idleMeansConnectedStandby) {
  bool aoAc = false;
  WriteMemSleep("[s2idle] deep\n");
  ASSERT_TRUE(Query(nullptr, aoAc));
  EXPECT_TRUE(aoAc);
  WriteMemSleep("s2idle [deep]\n");
  ASSERT_TRUE(Query(nullptr, aoAc));
  EXPECT_FALSE(aoAc);
  WriteMemSleep("s2idle deep\n");  // nothing selected: the facts are unreadable
  EXPECT_FALSE(Query(nullptr, aoAc));
  std::filesystem::remove(memSleep);
  EXPECT_FALSE(Query(nullptr, aoAc));
}

TEST_F(PowerCapabilitiesTest, RegistryValueOverridesTheKernel) {
  auto registry = OpenRegistry(dir + "/registry.db");
  bool aoAc = false;
  WriteMemSleep("s2idle [deep]\n");
  WriteRegistryValue(*registry, keystone::kEngineKey, kConnectedStandbyValue, RegValue::Dword(1));
  ASSERT_TRUE(Query(registry.get(), aoAc));
  EXPECT_TRUE(aoAc);
  std::filesystem::remove(memSleep);  // the override needs no kernel facts
  WriteRegistryValue(*registry, keystone::kEngineKey, kConnectedStandbyValue, RegValue::Dword(0));
  ASSERT_TRUE(Query(registry.get(), aoAc));
  EXPECT_FALSE(aoAc);
  // A value of the wrong type is ignored, so the kernel decides again.
  WriteRegistryValue(*registry, keystone::kEngineKey, kConnectedStandbyValue, RegValue::String("1"));
  WriteMemSleep("[s2idle]\n");
  ASSERT_TRUE(Query(registry.get(), aoAc));
  EXPECT_TRUE(aoAc);
}

}  // namespace
}  // namespace platform
