// The provider factory: one provider per type whatever the number of callers, types created
// independently, unknown types and the missing BLE bridge.

#include "bluetooth/provider_factory.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/phones/simulated_bluetooth.h"
#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;

// A stack with no simulator behind it: no radio, nothing to reach.
std::shared_ptr<platform::BluetoothStack> NoStack() {
  return std::make_shared<phonesim::SimulatedBluetoothStack>("/nonexistent/phones.sock");
}

class ProviderFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { log = LogCapture::Install(); }
  void TearDown() override { log->Uninstall(); }
  std::shared_ptr<LogCapture> log;
};

TEST_F(ProviderFactoryTest, ConcurrentCallersShareOneClassicProvider) {
  BtProviderFactory factory(NoStack());
  constexpr int kCallers = 8;
  std::vector<std::shared_ptr<IBTProvider>> got(kCallers);
  {
    std::vector<std::jthread> callers;
    for (int i = 0; i < kCallers; ++i) {
      callers.emplace_back([&, i] { got[i] = factory.GetProvider(kClassicProviderType); });
    }
  }
  ASSERT_NE(got[0], nullptr);
  EXPECT_NE(dynamic_cast<ClassicBTProvider*>(got[0].get()), nullptr);
  for (const auto& provider : got) EXPECT_EQ(provider, got[0]);
  EXPECT_EQ(log->Count("Initialize ClassicBluetoothProvider"), 1u);
  EXPECT_TRUE(factory.HasProvider(kClassicProviderType));
}

TEST_F(ProviderFactoryTest, UnknownTypeGivesNothing) {
  BtProviderFactory factory(NoStack());
  EXPECT_EQ(factory.GetProvider(0), nullptr);
  EXPECT_EQ(factory.GetProvider(3), nullptr);
  EXPECT_FALSE(factory.HasProvider(kClassicProviderType));
}

TEST_F(ProviderFactoryTest, BleWithoutBridgeIsAnInvalidType) {
  BtProviderFactory factory(NoStack());
  EXPECT_THROW(factory.GetProvider(kBleProviderType), BluetoothProvider::InvalidProviderTypeException);
  EXPECT_TRUE(log->Has("No BLE bridge is available yet: no Bluetooth LE provider"));
  EXPECT_FALSE(factory.HasProvider(kBleProviderType));
  EXPECT_FALSE(factory.LegacyBleLoaded());
}

TEST_F(ProviderFactoryTest, FailedCreationIsAnInvalidTypeAndIsTriedAgain) {
  int attempts = 0;
  BtProviderFactory factory(
      [&]() -> std::shared_ptr<IBTProvider> {
        if (++attempts == 1) throw std::runtime_error("stack broke");
        return std::make_shared<ClassicBTProvider>(NoStack());
      },
      nullptr);
  EXPECT_THROW(factory.GetProvider(kClassicProviderType),
               BluetoothProvider::InvalidProviderTypeException);
  EXPECT_NE(factory.GetProvider(kClassicProviderType), nullptr);
  EXPECT_EQ(attempts, 2);
}

TEST_F(ProviderFactoryTest, TwoTypesAreCreatedInParallel) {
  std::mutex gate;
  std::condition_variable changed;
  bool classicStarted = false;
  bool release = false;
  BtProviderFactory factory(
      [&]() -> std::shared_ptr<IBTProvider> {
        std::unique_lock lock(gate);
        classicStarted = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
        return std::make_shared<ClassicBTProvider>(NoStack());
      },
      []() -> std::shared_ptr<IBTProvider> {
        return std::make_shared<ClassicBTProvider>(NoStack());
      });
  auto classic = std::async(std::launch::async, [&] { return factory.GetProvider(kClassicProviderType); });
  {
    std::unique_lock lock(gate);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return classicStarted; }));
  }
  // The classic creation is still held at the gate: the BLE type does not wait for it.
  EXPECT_NE(factory.GetProvider(kBleProviderType), nullptr);
  {
    std::lock_guard lock(gate);
    release = true;
  }
  changed.notify_all();
  EXPECT_NE(classic.get(), nullptr);
}

}  // namespace
}  // namespace mfab
