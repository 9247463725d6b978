#include "engine/service_components.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;

class FoundationComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override { capture = LogCapture::Install(); }
  void TearDown() override { capture->Uninstall(); }
  std::shared_ptr<LogCapture> capture;
};

TEST_F(FoundationComponentsTest, EventsReachThePowerStateManagerWhileItLives) {
  SystemPowerStateManager::Options options;
  options.standbyEntryDelay = std::chrono::milliseconds(1);
  FoundationComponents components(platform::SystemClock(), options);
  EXPECT_EQ(components.PowerStateManager(), nullptr);
  components.HandlePowerSleepEvent();
  EXPECT_TRUE(capture->Has("Sleep event dropped: the resource manager is not running"));

  ASSERT_TRUE(components.StartRpcServer());
  auto manager = components.PowerStateManager();
  ASSERT_NE(manager, nullptr);
  components.HandlePowerSleepEvent();
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kGoingToSleep);
  components.HandlePowerResumeEvent();
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);
  components.HandleSessionLockEvent();
  components.HandleSessionUnlockEvent();
  components.HandleLogoffEvent();
  EXPECT_TRUE(capture->Has("Session lock, PowerState = 0"));
  EXPECT_TRUE(capture->Has("Session unlock, PowerState = 0"));
  EXPECT_TRUE(capture->Has("Session logoff, PowerState = 0"));
  components.HandleConnectedStandbyEnterEvent();
  for (int i = 0; i < 10000 && manager->CurrentPowerState() != 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kConnectedStandby);
  components.HandleConnectedStandbyExitEvent();
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);

  components.DestroyResourceManager();
  EXPECT_EQ(components.PowerStateManager(), nullptr);
  components.HandleSessionLockEvent();
  EXPECT_TRUE(capture->Has("Session lock event dropped: the resource manager is not running"));
}

}  // namespace
}  // namespace mfab
