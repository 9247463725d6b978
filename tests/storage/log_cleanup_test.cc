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

using keystone::testing::LogCapture;
using keystone::testing::MemoryFileSystem;
using keystone::testing::MemoryRegistry;
using Op = MemoryFileSystem::Op;

constexpr const char* kLogs = "/root/Logs/";

class LogCleanupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogSink::kService, 4);
    capture = LogCapture::Install();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/root"));
    fs.CreateDirectories("/root/Logs");
  }
  void TearDown() override { capture->Uninstall(); }

  // A log file whose last write is `second` seconds after an arbitrary epoch.
  void PutLog(const std::string& name, int second) {
    fs.PutFile(kLogs + name, "etl");
    fs.SetLastWriteTime(kLogs + name, platform::FileTime(std::chrono::seconds(second)));
  }
  std::vector<std::string> Remaining() const {
    std::vector<std::string> names;
    for (const std::string& path : fs.AllFiles()) names.push_back(path.substr(11));
    return names;
  }

  MemoryRegistry registry;
  MemoryFileSystem fs;
  DataController controller{registry, fs};
  std::shared_ptr<LogCapture> capture;
};

TEST_F(LogCleanupTest, KeepsTheTwoNewestOfEachPrefix) {
  PutLog("Keystone_Engine_Logs_1.etl", 50);
  PutLog("Keystone_Engine_Logs_2.etl", 10);
  PutLog("Keystone_Engine_Logs_3.etl", 40);
  PutLog("Keystone_Engine_Logs_4.etl", 20);
  PutLog("Keystone_Engine_Logs_5.etl", 30);
  PutLog("Vox_Scr_Logs_a.etl", 1);
  PutLog("Vox_Scr_Logs_b.etl", 2);
  PutLog("Other_1.etl", 1);
  PutLog("Keystone_Engine_Logs_6.txt", 1);
  EXPECT_TRUE(controller.DeleteEtlLogs());
  EXPECT_EQ(Remaining(), (std::vector<std::string>{
                             "Keystone_Engine_Logs_1.etl", "Keystone_Engine_Logs_3.etl",
                             "Keystone_Engine_Logs_6.txt", "Other_1.etl", "Vox_Scr_Logs_a.etl",
                             "Vox_Scr_Logs_b.etl"}));
  EXPECT_TRUE(capture->Has("DeleteEtlLogs "));
}

TEST_F(LogCleanupTest, ASameTimeTwinLosesItsSlot) {
  PutLog("Vox_Scr_Logs_a.etl", 10);
  PutLog("Vox_Scr_Logs_b.etl", 10);
  PutLog("Vox_Scr_Logs_c.etl", 5);
  PutLog("Vox_Scr_Logs_d.etl", 1);
  EXPECT_TRUE(controller.DeleteEtlLogs());
  // b took a's place in the time map, so a counts as old.
  EXPECT_EQ(Remaining(), (std::vector<std::string>{"Vox_Scr_Logs_b.etl", "Vox_Scr_Logs_c.etl"}));
}

TEST_F(LogCleanupTest, AFileWhoseTimeCannotBeReadSurvives) {
  PutLog("Keystone_Engine_Logs_busy.etl", 1);
  PutLog("Keystone_Engine_Logs_1.etl", 10);
  PutLog("Keystone_Engine_Logs_2.etl", 20);
  PutLog("Keystone_Engine_Logs_3.etl", 30);
  fs.FailOn(Op::kTime, std::string(kLogs) + "Keystone_Engine_Logs_busy.etl",
            std::errc::permission_denied);
  EXPECT_TRUE(controller.DeleteEtlLogs());
  EXPECT_EQ(Remaining(),
            (std::vector<std::string>{"Keystone_Engine_Logs_2.etl", "Keystone_Engine_Logs_3.etl",
                                      "Keystone_Engine_Logs_busy.etl"}));
  EXPECT_TRUE(capture->Has("CreateFile failed with 13"));
}

TEST_F(LogCleanupTest, EmptyOrMissingDirectoryIsNotAnError) {
  EXPECT_TRUE(controller.DeleteEtlLogs());
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::String("/elsewhere"));
  EXPECT_TRUE(controller.DeleteEtlLogs());
}

TEST_F(LogCleanupTest, AnEnumerationFailureIsLoggedAndReportedNotThrown) {
  PutLog("Keystone_Engine_Logs_1.etl", 1);
  fs.FailOn(Op::kList, "/root/Logs", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteEtlLogs());
  EXPECT_TRUE(capture->Has("DeleteEtlLogs unknow error"));
}

}  // namespace
}  // namespace mfab
