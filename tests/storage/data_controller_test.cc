#include "storage/data_controller.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "platform/registry.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tlv/host_messages.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;
using keystone::testing::MemoryFileSystem;
using keystone::testing::MemoryRegistry;
using Op = MemoryFileSystem::Op;

constexpr const char* kData = "/store/Data/";

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

class DataControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogSink::kService, 4);
    capture = LogCapture::Install();
    SetDataDir("/store/");
  }
  void TearDown() override { capture->Uninstall(); }

  void SetDataDir(const std::string& dir) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(dir));
  }
  void Put(const std::string& fullName, const std::string& content = "x") {
    fs.PutFile(kData + fullName + ".SDS", content);
  }
  std::vector<std::string> Remaining() const {
    std::vector<std::string> names;
    for (const std::string& path : fs.AllFiles()) names.push_back(path.substr(12));
    return names;
  }

  MemoryRegistry registry;
  MemoryFileSystem fs;
  DataController controller{registry, fs};
  std::shared_ptr<LogCapture> capture;
};

TEST_F(DataControllerTest, RootComesFromDataDirWithOneTrailingSlashRemoved) {
  EXPECT_EQ(controller.GetDataDirectory(), "/store");
  EXPECT_EQ(controller.GetSecureDataFilePath("_Sys"), "/store/Data/_Sys.SDS");
  EXPECT_TRUE(fs.HasDirectory("/store/Data"));

  SetDataDir("/deep/a/b//");
  EXPECT_EQ(controller.GetDataDirectory(), "/deep/a/b/");
  EXPECT_EQ(controller.GetBaseDataDirectory(), "/deep/a/b//Data");
  EXPECT_TRUE(fs.HasDirectory("/deep/a/b/Data"));

  // The registry text is used as it stands, even empty.
  SetDataDir("");
  EXPECT_EQ(controller.GetDataDirectory(), "");
  EXPECT_EQ(controller.GetBaseDataDirectory(), "/Data");
}

TEST_F(DataControllerTest, RootFallsBackToStateDirectoryWithoutUsableDataDir) {
  const char* saved = std::getenv("KEYSTONE_STATE_DIR");
  const std::string savedValue = saved ? saved : "";
  ::setenv("KEYSTONE_STATE_DIR", "/var/ks-state/", 1);
  registry.CreateKey(keystone::kEngineKey, platform::reg_access::kWrite)->DeleteValue("DataDir");
  EXPECT_EQ(controller.GetDataDirectory(), "/var/ks-state");
  // A value of another type cannot be read as text: same fallback.
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::Dword(7));
  EXPECT_EQ(controller.GetSecureDataFilePath("a"), "/var/ks-state/Data/a.SDS");
  if (saved) {
    ::setenv("KEYSTONE_STATE_DIR", savedValue.c_str(), 1);
  } else {
    ::unsetenv("KEYSTONE_STATE_DIR");
  }
}

TEST_F(DataControllerTest, BaseDirectoryThatCannotBeCreatedIsAPlainStdException) {
  fs.FailOn(Op::kCreateDirectories, "/store/Data", std::errc::permission_denied);
  try {
    controller.WriteSecureDataFile("_Sys", B("x"));
    FAIL() << "no exception";
  } catch (const MfaException&) {
    FAIL() << "must not be an engine exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Cannot create MfaBaseDataDirectory directory");
  }
  EXPECT_TRUE(fs.WriteLog().empty());
}

TEST_F(DataControllerTest, LogicalNamesMapToFileNames) {
  EXPECT_EQ(controller.GetSecureDataFilePath("policy"), "/store/Data/_Policy.SDS");
  EXPECT_EQ(controller.GetSecureDataFilePath("enrollmentData"), "/store/Data/_EnrollmentData.SDS");
  EXPECT_EQ(controller.GetSecureDataFilePath("Policy"), "/store/Data/Policy.SDS");
  EXPECT_EQ(controller.GetSecureDataFilePath("policy2"), "/store/Data/policy2.SDS");

  auto sys = std::make_shared<const DataFile>(controller, nullptr, "_Sys");
  auto policy = std::make_shared<const DataFile>(controller, sys, "Policy");
  DataFile grandChild(controller, policy, "Z");
  EXPECT_EQ(sys->GetFullName(), "_Sys");
  EXPECT_EQ(policy->GetFullName(), "_Sys$Policy");
  EXPECT_EQ(grandChild.GetFullName(), "_Sys$Policy$Z");
  EXPECT_EQ(controller.GetSecureDataFilePath(policy->GetFullName()), "/store/Data/_Sys$Policy.SDS");
}

TEST_F(DataControllerTest, NamesThatCouldLeaveTheDataDirectoryAreRefused) {
  const std::vector<std::string> bad = {"", "..", "../etc/passwd", "a/b", "_U$..",
                                        std::string("_Sys\0x", 6)};
  for (const std::string& name : bad) {
    EXPECT_THROW(controller.WriteSecureDataFile(name, B("x")), GeneralException) << name;
    EXPECT_THROW(controller.ReadSecureDataFile(name), GeneralException) << name;
    EXPECT_THROW(DataFile(controller, nullptr, name).Exists(), GeneralException) << name;
  }
  EXPECT_THROW(controller.DeleteLevel1Files(B("m"), "../x"), GeneralException);
  EXPECT_TRUE(fs.WriteLog().empty());
  EXPECT_TRUE(capture->Contains("Refused secure-data file name"));
}

TEST_F(DataControllerTest, ReadAndWriteWholeFiles) {
  EXPECT_TRUE(controller.ReadSecureDataFile("_Sys").empty());
  controller.WriteSecureDataFile("_Sys", B("long content"));
  controller.WriteSecureDataFile("_Sys", B("short"));
  EXPECT_EQ(controller.ReadSecureDataFile("_Sys"), B("short"));
  EXPECT_TRUE(DataFile(controller, nullptr, "_Sys").Exists());

  fs.FailOn(Op::kRead, "/store/Data/_Sys.SDS", std::errc::io_error);
  EXPECT_THROW(
      {
        try {
          controller.ReadSecureDataFile("_Sys");
        } catch (const GeneralException& e) {
          EXPECT_STREQ(e.what(), "ReadFile failed");
          throw;
        }
      },
      GeneralException);
  // A file far larger than any blob is not read into memory.
  Put("big", std::string(DataController::kMaxSecureDataFileSize + 1, 'b'));
  EXPECT_THROW(controller.ReadSecureDataFile("big"), GeneralException);
}

TEST_F(DataControllerTest, EachWriteStepHasItsOwnFailureText) {
  const std::vector<std::pair<Op, std::string>> steps = {
      {Op::kCreate, "CreateFile failed"},
      {Op::kWrite, "WriteFile failed"},
      {Op::kFlush, "FlushFileBuffers failed"}};
  for (const auto& [op, text] : steps) {
    const std::string name = "f" + std::to_string(static_cast<int>(op));
    fs.FailOn(op, kData + name + ".SDS", std::errc::no_space_on_device);
    try {
      controller.WriteSecureDataFile(name, B("data"));
      ADD_FAILURE() << text;
    } catch (const GeneralException& e) {
      EXPECT_EQ(e.what(), text);
    }
  }
}

TEST_F(DataControllerTest, SaveWritesMasterVersionsThenSecondThenFirstAndStopsAtAFailure) {
  SaveRequest request;
  request.firstFileName = "_US-1-5-21-1-2-3-7$E1";
  request.secondFileName = "_US-1-5-21-1-2-3-7";
  request.firstFileData = B("first");
  request.secondFileData = B("second");
  request.masterVersionsData = B("mv");
  controller.SaveSecureDataFiles(request);
  EXPECT_EQ(fs.WriteLog(), (std::vector<std::string>{
                               "/store/Data/_masterVersions.SDS",
                               "/store/Data/_US-1-5-21-1-2-3-7.SDS",
                               "/store/Data/_US-1-5-21-1-2-3-7$E1.SDS"}));
  EXPECT_EQ(controller.ReadSecureDataFile("_masterVersions"), B("mv"));
  EXPECT_EQ(controller.ReadSecureDataFile("_US-1-5-21-1-2-3-7$E1"), B("first"));

  request.masterVersionsData = B("mv2");
  request.firstFileName = "later";
  fs.FailOn(Op::kCreate, "/store/Data/_US-1-5-21-1-2-3-7.SDS", std::errc::permission_denied);
  EXPECT_THROW(controller.SaveSecureDataFiles(request), GeneralException);
  EXPECT_EQ(controller.ReadSecureDataFile("_masterVersions"), B("mv2"));
  EXPECT_FALSE(fs.HasFile("/store/Data/later.SDS"));
}

TEST_F(DataControllerTest, DeleteLevel1RewritesMasterVersionsFirstThenDeletesByPrefix) {
  const std::string user = "_US-1-5-21-1-2-3-1001";
  for (const std::string& name : std::vector<std::string>{"_masterVersions", "_Sys", user,
                                                         user + "$E1", user + "$A9",
                                                         "_US-1-5-21-1-2-3-1002"}) {
    Put(name);
  }
  DeleteLevel1Request request;
  request.masterVersionsData = B("new");
  request.namePrefix = user;
  EXPECT_TRUE(controller.DeleteLevel1Files(request));
  EXPECT_EQ(fs.WriteLog().front(), "/store/Data/_masterVersions.SDS");
  EXPECT_EQ(controller.ReadSecureDataFile("_masterVersions"), B("new"));
  EXPECT_EQ(Remaining(), (std::vector<std::string>{"_Sys.SDS", "_US-1-5-21-1-2-3-1002.SDS",
                                                   "_masterVersions.SDS"}));
}

TEST_F(DataControllerTest, DeleteLevel1DeletesNothingWhenMasterVersionsCannotBeWritten) {
  Put("_masterVersions", "old");
  Put("_U1");
  fs.FailOn(Op::kCreate, "/store/Data/_masterVersions.SDS", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteLevel1Files(B("new"), "_U"));
  EXPECT_TRUE(fs.HasFile("/store/Data/_U1.SDS"));
}

TEST_F(DataControllerTest, DeletingUsersStoredDataRemovesActionDataOnly) {
  for (const char* name : {"_U1", "_U1$A1", "_U1$E1", "_U2$A17", "_Sys", "_Sys$Policy",
                                  "_Aside", "_masterVersions"}) {
    Put(name);
  }
  fs.PutFile("/store/Data/_U3$A1.txt", "kept: not a secure-data file");
  EXPECT_TRUE(controller.DeleteUsersStoredSecureDataFiles());
  EXPECT_EQ(Remaining(),
            (std::vector<std::string>{"_Aside.SDS", "_Sys$Policy.SDS", "_Sys.SDS", "_U1$E1.SDS",
                                      "_U1.SDS", "_U3$A1.txt", "_masterVersions.SDS"}));
  EXPECT_TRUE(capture->Has("DeleteUsersPasswordsFiles "));
}

TEST_F(DataControllerTest, DeleteAllGoesOnPastAFailureAndReportsIt) {
  Put("a");
  Put("b");
  Put("c");
  fs.PutFile("/store/Data/readme.txt", "kept");
  fs.FailOn(Op::kDelete, "/store/Data/b.SDS", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteAllSecureDataFiles());
  EXPECT_EQ(Remaining(), (std::vector<std::string>{"b.SDS", "readme.txt"}));
  EXPECT_TRUE(capture->Has("Failed deleting file (0XD)"));
}

TEST_F(DataControllerTest, EmptyDataDirectoryEnumeratesNothingAndDeletesSucceed) {
  EXPECT_TRUE(controller.EnumerateSecureDataFiles().Files().empty());
  EXPECT_TRUE(controller.DeleteAllSecureDataFiles());
  EXPECT_TRUE(controller.DeleteUsersStoredSecureDataFiles());
  EXPECT_TRUE(controller.DeleteLevel1Files(B("m"), "_U"));
  EXPECT_EQ(Remaining(), std::vector<std::string>{"_masterVersions.SDS"});
  EXPECT_EQ(controller.EnumerateSecureDataFiles().Files(),
            std::set<std::string>{"/store/Data/_masterVersions.SDS"});
}

TEST_F(DataControllerTest, EncodeCarriesNameAndContentOrAnEmptyValue) {
  Put("_Sys", "AB");
  EXPECT_EQ(DataFile(controller, nullptr, "_Sys").Encode(),
            (Bytes{0x7B, 0xB0, 0x00, 0x04, '_', 'S', 'y', 's', 0x7B, 0xB1, 0x00, 0x02, 'A', 'B'}));
  EXPECT_EQ(DataFile(controller, nullptr, "_X").Encode(),
            (Bytes{0x7B, 0xB0, 0x00, 0x02, '_', 'X', 0x7B, 0xB1, 0x00, 0x00}));
}

// ---------------------------------------------------------------------------------------------

TEST(WildcardTest, MatchesLikeFindFirstFile) {
  EXPECT_TRUE(MatchesWildcard("*.SDS", "_Sys.SDS"));
  EXPECT_TRUE(MatchesWildcard("*.SDS", ".SDS"));
  EXPECT_FALSE(MatchesWildcard("*.SDS", "_Sys.SDSX"));
  EXPECT_FALSE(MatchesWildcard("*.SDS", "_Sys.sds"));
  EXPECT_TRUE(MatchesWildcard("*$A*.SDS", "_U1$A$A.SDS"));
  EXPECT_FALSE(MatchesWildcard("*$A*.SDS", "_U1$E1.SDS"));
  EXPECT_TRUE(MatchesWildcard("_U?*", "_U1"));
  EXPECT_FALSE(MatchesWildcard("_U?*", "_U"));
  EXPECT_TRUE(MatchesWildcard("*", ""));
  EXPECT_FALSE(MatchesWildcard("", "a"));
  EXPECT_TRUE(MatchesWildcard("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(MatchesWildcard("a*b*c", "aXbYbZ"));
}

TEST(FileManagerTest, EnumerationReplacesTheSetAndFailuresThrow) {
  auto capture = LogCapture::Install();
  SetLogThreshold(LogSink::kService, 4);
  MemoryFileSystem fs;
  fs.PutFile("/d/a.etl", "");
  fs.PutFile("/d/b.etl", "");
  fs.CreateDirectories("/d/sub.etl");
  FileManager manager(fs);
  manager.EnumerateFiles("/d/*.etl");
  EXPECT_EQ(manager.Files(), (std::set<std::string>{"/d/a.etl", "/d/b.etl", "/d/sub.etl"}));
  manager.EnumerateFiles("/d/none*");
  EXPECT_TRUE(manager.Files().empty());
  manager.EnumerateFiles("/missing/*");
  EXPECT_TRUE(manager.Files().empty());

  fs.FailOn(Op::kList, "/d", std::errc::permission_denied);
  try {
    manager.EnumerateFiles("/d/*");
    ADD_FAILURE() << "no exception";
  } catch (const MfaException&) {
    ADD_FAILURE() << "must be a plain std exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "FindFirstFile failed");
  }
  EXPECT_TRUE(capture->Has("FindFirstFile failed (0XD)"));
  capture->Uninstall();
}

TEST(BinaryFileHandlerTest, WritesUnderNewDirectoriesTruncatesAndRefusesEmptyReads) {
  MemoryFileSystem fs;
  BinaryFileHandler handler(fs);
  std::vector<uint8_t> bytes{9};
  EXPECT_FALSE(handler.Read("/a/missing", bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>{9});

  EXPECT_TRUE(handler.Write("/a/b/c", "f.bin", B("longer")));
  EXPECT_TRUE(handler.Write("/a/b/c/f.bin", B("ab")));
  EXPECT_TRUE(handler.Read("/a/b/c/f.bin", bytes));
  EXPECT_EQ(bytes, B("ab"));

  EXPECT_TRUE(handler.Write("/a/empty", {}));
  EXPECT_FALSE(handler.Read("/a/empty", bytes));
  fs.FailOn(Op::kCreateDirectories, "/ro", std::errc::read_only_file_system);
  EXPECT_FALSE(handler.Write("/ro", "f", B("x")));
}

}  // namespace
}  // namespace mfab
