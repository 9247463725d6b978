#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "common/config_keys.h"
#include "platform/power_capabilities.h"
#include "platform/registry.h"
#include "tests/platform/platform_test_support.h"

namespace platform {
namespace {

// Connected standby follows the kernel's selected suspend state unless the registry says
// otherwise; a registry value of another type is ignored.
TEST(PowerCapabilitiesTest, SelectedS2idleOrTheRegistryOverrideMeansConnectedStandby) {
  struct Case {
    const char* name;
    std::optional<std::string> memSleep;  // nullopt: no such file
    std::optional<RegValue> override;
    std::optional<bool> aoAc;  // nullopt: the query fails
  };
  const Case cases[] = {
      {"s2idle selected", "[s2idle] deep\n", std::nullopt, true},
      {"deep selected", "s2idle [deep]\n", std::nullopt, false},
      {"nothing selected", "s2idle deep\n", std::nullopt, std::nullopt},
      {"override on", "s2idle [deep]\n", RegValue::Dword(1), true},
      {"override off, no kernel facts", std::nullopt, RegValue::Dword(0), false},
      {"override of another type", "[s2idle]\n", RegValue::String("0"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform_test::TempDir dir;
    const std::string memSleep = dir.path + "/mem_sleep";
    if (c.memSleep) std::ofstream(memSleep) << *c.memSleep;
    // Without an override there is no registry at all.
    std::unique_ptr<Registry> registry;
    if (c.override) {
      registry = OpenRegistry(dir.path + "/registry.db");
      WriteRegistryValue(*registry, keystone::kEngineKey, kConnectedStandbyValue, *c.override);
    }
    for (bool before : {false, true}) {  // the answer is written whatever was there
      SystemPowerCapabilities caps;
      caps.aoAc = before;
      const bool ok = CreatePowerCapabilities(registry.get(), memSleep)->Query(caps);
      EXPECT_EQ(ok ? std::optional(caps.aoAc) : std::nullopt, c.aoAc);
    }
  }
}

}  // namespace
}  // namespace platform
