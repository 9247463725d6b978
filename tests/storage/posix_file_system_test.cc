// The file system and the data directory on disk, in a temporary directory.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"

namespace mfab {
namespace {

namespace stdfs = std::filesystem;
using keystone::testing::ThrownText;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

class PosixFileSystemTest : public ::testing::Test {
 protected:
  void TearDown() override { capture->Uninstall(); }

  // A controller whose data root is <temp>/state.
  DataController& Controller() {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(Path("state")));
    return controller;
  }
  std::string Text(const std::string& relative) const {
    const std::vector<uint8_t> bytes = fs.ReadFile(Path(relative));
    return std::string(bytes.begin(), bytes.end());
  }

  std::string Path(const std::string& relative) const { return (root / relative).string(); }
  std::vector<std::string> Listed(const std::string& dir) const {
    std::vector<std::string> names = fs.ListDirectory(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  keystone::testing::TempDirectory temp;
  const stdfs::path root = temp.Path();
  platform::FileSystem& fs = platform::SystemFileSystem();
  keystone::testing::MemoryRegistry registry;
  DataController controller{registry, fs};
  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
};

TEST_F(PosixFileSystemTest, FollowsTheFileSystemContract) {
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

// A dangling link is listed but has no time, so it is kept.
TEST_F(PosixFileSystemTest, TraceLogCleanUpOnDiskKeepsALinkWithoutATime) {
  DataController& data = Controller();
  stdfs::create_directories(Path("state/Logs"));
  const auto now = stdfs::file_time_type::clock::now();
  for (int i = 0; i < 5; ++i) {
    const std::string log = Path("state/Logs/Keystone_Engine_Logs_" + std::to_string(i) + ".etl");
    std::ofstream(log) << "etl";
    stdfs::last_write_time(log, now - std::chrono::minutes(10 - i));
  }
  stdfs::create_symlink(Path("gone"), Path("state/Logs/Keystone_Engine_Logs_link.etl"));
  EXPECT_TRUE(data.DeleteEtlLogs());
  EXPECT_EQ(Listed(Path("state/Logs")),
            (std::vector<std::string>{"Keystone_Engine_Logs_3.etl", "Keystone_Engine_Logs_4.etl",
                                      "Keystone_Engine_Logs_link.etl"}));
}

// A link planted under a file's name is replaced, never written through, and never read.
TEST_F(PosixFileSystemTest, SecureDataFilesNeverFollowALink) {
  DataController& data = Controller();
  data.WriteSecureDataFile("_Sys", B("first"));
  fs.WriteFile(Path("victim"), B("root's own file"));
  stdfs::remove(Path("state/Data/_Sys.SDS"));
  stdfs::create_symlink(Path("victim"), Path("state/Data/_Sys.SDS"));
  stdfs::create_symlink(Path("chosen"), Path("state/Data/_Sys$Policy.SDS"));
  stdfs::create_symlink(Path("victim"), Path("state/Data/_U1.SDS"));

  EXPECT_EQ(ThrownText<GeneralException>([&] { data.ReadSecureDataFile("_U1"); }),
            "ReadFile failed");
  data.WriteSecureDataFile("_Sys", B("second"));
  data.WriteSecureDataFile("_Sys$Policy", B("policy"));
  EXPECT_EQ(Text("victim"), "root's own file");
  EXPECT_FALSE(stdfs::exists(Path("chosen")));
  EXPECT_FALSE(stdfs::is_symlink(Path("state/Data/_Sys.SDS")));
  EXPECT_EQ(data.ReadSecureDataFile("_Sys"), B("second"));
  EXPECT_EQ(data.ReadSecureDataFile("_Sys$Policy"), B("policy"));
  EXPECT_EQ(stdfs::status(Path("state/Data/_Sys.SDS")).permissions(), stdfs::perms(0600));
}

TEST_F(PosixFileSystemTest, RefusesADataDirectoryOthersCouldRedirect) {
  DataController& data = Controller();
  const struct {
    const char* name;
    std::function<void()> arrange;
    const char* logged;
  } cases[] = {
      {"linked Data",
       [&] { stdfs::create_directory_symlink(Path("elsewhere"), Path("state/Data")); },
       "/state/Data\": it is a symbolic link"},
      {"linked root",
       [&] {
         stdfs::rename(Path("state"), Path("real"));
         stdfs::create_directory_symlink(Path("real"), Path("state"));
       },
       "/state\": it is a symbolic link"},
      {"Data writable by all",
       [&] {
         stdfs::create_directories(Path("state/Data"));
         stdfs::permissions(Path("state/Data"), stdfs::perms(0777));
       },
       "/state/Data\": other users may write to it"},
      {"root writable by its group",
       [&] {
         stdfs::create_directories(Path("state"));
         stdfs::permissions(Path("state"), stdfs::perms(0770));
       },
       "/state\": other users may write to it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* dir : {"state", "real", "elsewhere"}) stdfs::remove_all(Path(dir));
    stdfs::create_directories(Path("elsewhere"));
    stdfs::create_directories(Path("state"));
    c.arrange();
    EXPECT_THROW(data.WriteSecureDataFile("_Sys", B("x")), std::runtime_error);
    EXPECT_TRUE(capture->Contains(c.logged));
    EXPECT_TRUE(Listed(Path("elsewhere")).empty());
  }
}

TEST_F(PosixFileSystemTest, RefusesADataDirectoryOwnedByAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "handing a directory to another user needs root";
  DataController& data = Controller();
  data.WriteSecureDataFile("_Sys", B("kept"));
  ASSERT_EQ(::chown(Path("state/Data").c_str(), 65534, 65534), 0);
  EXPECT_THROW(data.WriteSecureDataFile("_Sys", B("x")), std::runtime_error);
  EXPECT_TRUE(capture->Contains("/state/Data\": it belongs to another user"));
  EXPECT_EQ(Text("state/Data/_Sys.SDS"), "kept");
}

// What a killed writer left is removed; what a writer of this process has open is not.
TEST_F(PosixFileSystemTest, RemovesTemporariesOfInterruptedWritesOfOtherProcesses) {
  DataController& data = Controller();
  data.WriteSecureDataFile("_Sys", B("x"));
  const std::string own = ".replace-" + std::to_string(::getpid()) + "-00.tmp";
  for (const std::string& name : {std::string(".replace-1-0a.tmp"), own,
                                  std::string(".replace-x.tmp"), std::string("keep.tmp")}) {
    fs.WriteFile(Path("state/Data/" + name), B("partial"));
  }
  EXPECT_EQ(data.RemoveInterruptedWrites(), 1u);
  EXPECT_EQ(Listed(Path("state/Data")),
            (std::vector<std::string>{own, ".replace-x.tmp", "_Sys.SDS", "keep.tmp"}));
  EXPECT_TRUE(capture->Contains("Removed 1 temporary file(s) of interrupted writes"));
}

}  // namespace
}  // namespace mfab
