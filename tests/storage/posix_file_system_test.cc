// The file system and the data directory on disk, in a temporary directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"

namespace mfab {
namespace {

namespace stdfs = std::filesystem;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& relative) const { return (root / relative).string(); }
  std::vector<std::string> Listed(const std::string& dir) const {
    std::vector<std::string> names = fs.ListDirectory(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  keystone::testing::TempDirectory temp;
  const stdfs::path root = temp.Path();
  platform::FileSystem& fs = platform::SystemFileSystem();
};

TEST_F(PosixFileSystemTest, WholeFilesAndTheirFailures) {
  const std::vector<uint8_t> big(100000, 0xAB);
  fs.WriteFile(Path("a"), big);
  EXPECT_EQ(fs.ReadFile(Path("a")), big);
  fs.WriteFile(Path("a"), std::vector<uint8_t>{1, 2});  // truncates
  EXPECT_EQ(fs.ReadFile(Path("a")), (std::vector<uint8_t>{1, 2}));
  EXPECT_THROW(fs.ReadFile(Path("a"), 1), std::system_error);
  EXPECT_THROW(fs.ReadFile(root.string()), std::system_error);
  try {
    fs.WriteFile(Path("missing/a"), big);
    ADD_FAILURE() << "no exception";
  } catch (const platform::FileWriteError& e) {
    EXPECT_EQ(e.Step(), platform::WriteStep::kCreate);
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  fs.CreateDirectories(Path("d/e"));
  EXPECT_EQ(Listed(root.string()), (std::vector<std::string>{"a", "d"}));
  EXPECT_THROW(fs.DeleteFile(Path("d/e")), std::system_error);
  try {
    fs.ListDirectory(Path("missing"));
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  stdfs::last_write_time(Path("a"), stdfs::file_time_type::clock::now() - std::chrono::hours(30));
  fs.WriteFile(Path("b"), big);
  EXPECT_GT(fs.LastWriteTime(Path("b")) - fs.LastWriteTime(Path("a")), std::chrono::hours(29));
}

TEST_F(PosixFileSystemTest, DataDirectoryOnDisk) {
  keystone::testing::MemoryRegistry registry;
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::String(Path("state") + "/"));
  DataController controller(registry, fs);
  controller.WriteSecureDataFile("policy", std::vector<uint8_t>{7});
  EXPECT_EQ(controller.EnumerateSecureDataFiles().Files(),
            std::set<std::string>{Path("state/Data/_Policy.SDS")});

  // Trace logs: a dangling link is listed but has no time, so it is kept.
  stdfs::create_directories(Path("state/Logs"));
  const auto now = stdfs::file_time_type::clock::now();
  for (int i = 0; i < 5; ++i) {
    const std::string log = Path("state/Logs/Keystone_Engine_Logs_" + std::to_string(i) + ".etl");
    std::ofstream(log) << "etl";
    stdfs::last_write_time(log, now - std::chrono::minutes(10 - i));
  }
  stdfs::create_symlink(Path("gone"), Path("state/Logs/Keystone_Engine_Logs_link.etl"));
  EXPECT_TRUE(controller.DeleteEtlLogs());
  EXPECT_EQ(Listed(Path("state/Logs")),
            (std::vector<std::string>{"Keystone_Engine_Logs_3.etl", "Keystone_Engine_Logs_4.etl",
                                      "Keystone_Engine_Logs_link.etl"}));
}

}  // namespace
}  // namespace mfab
