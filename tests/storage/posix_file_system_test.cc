// The data directory on the real file system, in a temporary directory.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

namespace stdfs = std::filesystem;
using keystone::testing::MemoryRegistry;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (stdfs::temp_directory_path() / "ks-storage-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
  }
  void TearDown() override { stdfs::remove_all(root); }

  std::string Path(const std::string& relative) const { return (root / relative).string(); }
  std::vector<std::string> Listed(const std::string& dir) const {
    std::vector<std::string> names = fs.ListDirectory(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  stdfs::path root;
  platform::FileSystem& fs = platform::SystemFileSystem();
};

TEST_F(PosixFileSystemTest, WholeFileWriteReplacesAndReadReturnsEverything) {
  const std::string file = Path("a.bin");
  const std::vector<uint8_t> big(100000, 0xAB);
  fs.WriteFile(file, big);
  EXPECT_EQ(fs.ReadFile(file), big);
  fs.WriteFile(file, std::vector<uint8_t>{1, 2});
  EXPECT_EQ(fs.ReadFile(file), (std::vector<uint8_t>{1, 2}));
  fs.WriteFile(file, {});
  EXPECT_TRUE(fs.ReadFile(file).empty());

  fs.WriteFile(file, big);
  try {
    fs.ReadFile(file, 99999);
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::file_too_large);
  }
}

TEST_F(PosixFileSystemTest, FailuresNameTheirStepAndCarryTheErrno) {
  try {
    fs.WriteFile(Path("missing/a.bin"), std::vector<uint8_t>{1});
    ADD_FAILURE() << "no exception";
  } catch (const platform::FileWriteError& e) {
    EXPECT_EQ(e.Step(), platform::WriteStep::kCreate);
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find("missing/a.bin"), std::string::npos);
  }
  EXPECT_THROW(fs.ReadFile(Path("nothing")), std::system_error);
  EXPECT_THROW(fs.ReadFile(root.string()), std::system_error);
  fs.CreateDirectories(Path("d/e"));
  EXPECT_THROW(fs.DeleteFile(Path("d/e")), std::system_error);
  try {
    fs.ListDirectory(Path("nothing"));
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
}

TEST_F(PosixFileSystemTest, DirectoriesListingsAndTimes) {
  fs.CreateDirectories(Path("x/y/z"));
  fs.CreateDirectories(Path("x/y/z"));
  EXPECT_TRUE(fs.Exists(Path("x/y/z")));
  fs.WriteFile(Path("x/f"), std::vector<uint8_t>{1});
  EXPECT_EQ(Listed(Path("x")), (std::vector<std::string>{"f", "y"}));
  EXPECT_TRUE(Listed(Path("x/y/z")).empty());

  const auto then = stdfs::file_time_type::clock::now() - std::chrono::hours(30);
  stdfs::last_write_time(Path("x/f"), then);
  const platform::FileTime old = fs.LastWriteTime(Path("x/f"));
  fs.WriteFile(Path("x/g"), std::vector<uint8_t>{1});
  EXPECT_GT(fs.LastWriteTime(Path("x/g")) - old, std::chrono::hours(29));
  fs.DeleteFile(Path("x/f"));
  EXPECT_FALSE(fs.Exists(Path("x/f")));
}

TEST_F(PosixFileSystemTest, DataDirectoryOnDisk) {
  MemoryRegistry registry;
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::String(Path("state") + "/"));
  DataController controller(registry, fs);
  controller.WriteSecureDataFile("policy", std::vector<uint8_t>{7});
  controller.WriteSecureDataFile("_U1$A1", std::vector<uint8_t>{8});
  EXPECT_TRUE(stdfs::exists(Path("state/Data/_Policy.SDS")));
  EXPECT_EQ(controller.ReadSecureDataFile("_U1$A1"), std::vector<uint8_t>{8});
  EXPECT_EQ(controller.EnumerateSecureDataFiles().Files(),
            (std::set<std::string>{Path("state/Data/_Policy.SDS"), Path("state/Data/_U1$A1.SDS")}));
  EXPECT_TRUE(controller.DeleteUsersStoredSecureDataFiles());
  EXPECT_FALSE(stdfs::exists(Path("state/Data/_U1$A1.SDS")));

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
