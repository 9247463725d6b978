#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using keystone::testing::MemoryFileSystem;
using Op = MemoryFileSystem::Op;
using Names = std::vector<std::string>;

constexpr const char* kLogs = "/root/Logs/";

class LogCleanupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogSink::kService, 4);
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/root"));
    fs.CreateDirectories("/root/Logs");
  }
  void TearDown() override { capture->Uninstall(); }

  // A log file last written `second` seconds after an arbitrary epoch.
  void PutLog(const std::string& name, int second) {
    fs.PutFile(kLogs + name, "etl");
    fs.SetLastWriteTime(kLogs + name, platform::FileTime(std::chrono::seconds(second)));
  }
  Names Remaining() const {
    Names names;
    for (const std::string& path : fs.AllFiles()) names.push_back(path.substr(11));
    return names;
  }

  keystone::testing::MemoryRegistry registry;
  MemoryFileSystem fs;
  DataController controller{registry, fs};
  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
};

TEST_F(LogCleanupTest, KeepsTheTwoNewestOfEachPrefix) {
  const int seconds[] = {50, 10, 40, 20, 30};
  for (int i = 0; i < 5; ++i)
    PutLog("Keystone_Engine_Logs_" + std::to_string(i) + ".etl", seconds[i]);
  PutLog("Vox_Scr_Logs_a.etl", 1);
  PutLog("Vox_Scr_Logs_b.etl", 2);
  PutLog("Other.etl", 1);
  PutLog("Keystone_Engine_Logs_9.txt", 1);
  EXPECT_TRUE(controller.DeleteEtlLogs());
  EXPECT_EQ(Remaining(), (Names{"Keystone_Engine_Logs_0.etl", "Keystone_Engine_Logs_2.etl",
                                "Keystone_Engine_Logs_9.txt", "Other.etl", "Vox_Scr_Logs_a.etl",
                                "Vox_Scr_Logs_b.etl"}));
  EXPECT_TRUE(capture->Has("DeleteEtlLogs "));
}

TEST_F(LogCleanupTest, ASameTimeTwinLosesItsSlotAndAnUnreadableFileSurvives) {
  PutLog("Vox_Scr_Logs_a.etl", 10);
  PutLog("Vox_Scr_Logs_b.etl", 10);  // takes a's slot: a counts as old
  PutLog("Vox_Scr_Logs_c.etl", 5);
  PutLog("Vox_Scr_Logs_d.etl", 1);
  PutLog("Vox_Scr_Logs_busy.etl", 0);
  fs.FailOn(Op::kTime, std::string(kLogs) + "Vox_Scr_Logs_busy.etl", std::errc::permission_denied);
  EXPECT_TRUE(controller.DeleteEtlLogs());
  EXPECT_EQ(Remaining(),
            (Names{"Vox_Scr_Logs_b.etl", "Vox_Scr_Logs_busy.etl", "Vox_Scr_Logs_c.etl"}));
  EXPECT_TRUE(capture->Has("CreateFile failed with 13"));
}

TEST_F(LogCleanupTest, EmptyOrMissingDirectoryIsFineAndFailuresAreReportedNotThrown) {
  EXPECT_TRUE(controller.DeleteEtlLogs());
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::String("/elsewhere"));
  EXPECT_TRUE(controller.DeleteEtlLogs());

  fs.FailOn(Op::kList, "/elsewhere/Logs", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteEtlLogs());
  EXPECT_TRUE(capture->Has("DeleteEtlLogs unknow error"));
}

}  // namespace
}  // namespace mfab
