// Which Bluetooth facility the engine gets: the simulator only when the registry names it, the
// system's stack only when the kernel has Bluetooth, and otherwise none, said in one line.

#include "sim/phones/bluetooth_selection.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/config_keys.h"
#include "sim/phones/simulated_bluetooth.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"

namespace phonesim {
namespace {

using keystone::testing::LogCapture;

class BluetoothSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override { log = LogCapture::Install(); }
  void TearDown() override { log->Uninstall(); }

  void SetSimulatedPhones(const std::string& path) {
    registry.CreateKey(keystone::kSecureBtKey, platform::reg_access::kWrite)
        ->SetValue(kSimulatedPhonesValue, platform::RegValue::String(path));
  }

  keystone::testing::MemoryRegistry registry;
  keystone::testing::TempDirectory directory;
  std::shared_ptr<LogCapture> log;
};

TEST_F(BluetoothSelectionTest, SimulatedPhonesValueSelectsTheSimulator) {
  SetSimulatedPhones(directory.File("control.sock"));
  const auto stack = ChooseBluetoothStack(registry);
  EXPECT_NE(dynamic_cast<SimulatedBluetoothStack*>(stack.get()), nullptr);
  EXPECT_TRUE(log->Has("Bluetooth: simulated phones at " + directory.File("control.sock")));
}

TEST_F(BluetoothSelectionTest, SimulatorInADirectoryOthersCanWriteIsRefused) {
  std::filesystem::permissions(directory.Path(), std::filesystem::perms::all);
  SetSimulatedPhones(directory.File("control.sock"));
  EXPECT_EQ(ChooseBluetoothStack(registry), nullptr);
  EXPECT_TRUE(log->Contains("refused"));
}

TEST_F(BluetoothSelectionTest, NoSimulatorAndNoKernelBluetoothIsNoFactor) {
  if (platform::KernelHasBluetooth()) GTEST_SKIP() << "this kernel has Bluetooth";
  SetSimulatedPhones("");  // an empty value is no value
  EXPECT_EQ(ChooseBluetoothStack(registry), nullptr);
  EXPECT_EQ(log->Entries().size(), 1u);
  EXPECT_TRUE(log->Has(
      "Bluetooth: no Bluetooth in this system and no simulated phones configured; no Bluetooth "
      "factor"));
}

}  // namespace
}  // namespace phonesim
