// The data directory and its secure-data files: in memory for the rules and injected failures,
// on disk for what the real file system adds; and the stored-data block the loader builds from
// them.

#include "storage/data_controller.h"

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "common/hex.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_loader.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"
#include "tlv/host_messages.h"

namespace mfab {
namespace {

namespace stdfs = std::filesystem;
using keystone::ParseHex;
using keystone::testing::MemoryFileSystem;
using Op = MemoryFileSystem::Op;
using Names = std::vector<std::string>;
using ::testing::AllOf;
using ::testing::Property;
using ::testing::Throws;

constexpr const char* kData = "/store/Data/";
constexpr const char* kLogs = "/store/Logs/";

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The text of the exception a call throws, after "other: " when it is not an Exception; "" when
// it throws nothing.
template <typename Exception, typename Call>
std::string ThrownText(Call call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "";
}

class DataControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDataDir("/store/"); }
  void TearDown() override { capture->Uninstall(); }

  void SetDataDir(const std::string& dir) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(dir));
  }
  void Put(const std::string& fullName, const std::string& content = "x") {
    fs.PutFile(kData + fullName + ".SDS", content);
  }
  // A trace log last written `second` seconds after an arbitrary epoch.
  void PutLog(const std::string& name, int second) {
    fs.PutFile(kLogs + name, "etl");
    fs.SetLastWriteTime(kLogs + name, platform::FileTime(std::chrono::seconds(second)));
  }
  // What is left in /store/<directory>, by name.
  Names Remaining(const std::string& directory = "Data") {
    return fs.ListDirectory("/store/" + directory);
  }

  keystone::testing::MemoryRegistry registry;
  MemoryFileSystem fs;
  DataController controller{registry, fs};
  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
};

TEST_F(DataControllerTest, MapsFullNamesToFilesUnderTheConfiguredRoot) {
  EXPECT_EQ(controller.GetSecureDataFilePath("_Sys"), "/store/Data/_Sys.SDS");
  EXPECT_TRUE(fs.Exists("/store/Data"));
  EXPECT_EQ(controller.GetSecureDataFilePath("policy"), "/store/Data/_Policy.SDS");
  EXPECT_EQ(controller.GetSecureDataFilePath("Policy"), "/store/Data/Policy.SDS");
  EXPECT_EQ(controller.GetSecureDataFilePath("policy2"), "/store/Data/policy2.SDS");
  auto sys = std::make_shared<const DataFile>(controller, nullptr, "_Sys");
  auto policy = std::make_shared<const DataFile>(controller, sys, "Policy");
  EXPECT_EQ(DataFile(controller, policy, "Z").GetFullName(), "_Sys$Policy$Z");

  SetDataDir("/deep/a//");  // only one trailing slash goes
  EXPECT_EQ(controller.GetBaseDataDirectory(), "/deep/a//Data");
  const char* saved = std::getenv("KEYSTONE_STATE_DIR");
  const std::string savedValue = saved ? saved : "";
  ::setenv("KEYSTONE_STATE_DIR", "/var/ks/", 1);
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::Dword(7));  // not text: no value
  EXPECT_EQ(controller.GetSecureDataFilePath("a"), "/var/ks/Data/a.SDS");
  saved ? ::setenv("KEYSTONE_STATE_DIR", savedValue.c_str(), 1) : ::unsetenv("KEYSTONE_STATE_DIR");
}

TEST_F(DataControllerTest, RefusesNamesThatCouldLeaveTheDataDirectory) {
  for (const std::string& name : Names{"", "..", "../x", "a/b", "_U$..", std::string("_S\0x", 4)}) {
    EXPECT_THROW(controller.WriteSecureDataFile(name, B("x")), GeneralException) << name;
    EXPECT_THROW(controller.ReadSecureDataFile(name), GeneralException) << name;
    EXPECT_THROW(DataFile(controller, nullptr, name).Exists(), GeneralException) << name;
  }
  EXPECT_THROW(controller.DeleteLevel1Files(B("m"), "../x"), GeneralException);
  EXPECT_TRUE(capture->Contains("Refused secure-data file name"));
}

// Another user who may write to the root or to Data could plant links or swap files. The
// refusal is a plain std exception, as when the directory cannot be created.
TEST_F(DataControllerTest, RefusesADataDirectoryItCannotSafelyUse) {
  const platform::DirectoryAccess foreign{false, false};
  const struct {
    const char* dataDir;
    const char* accessPath;  // nullptr: the path itself is refused
    platform::DirectoryAccess access;
    const char* logged;
  } cases[] = {
      {"", nullptr, {}, "Refusing the data directory \"\": the path is empty"},
      {"store/", nullptr, {}, "Refusing the data directory \"store\": it is not an absolute path"},
      {"/other", "/other", foreign, "\"/other\": it belongs to another user"},
      {"/other", "/other/Data", foreign, "\"/other/Data\": it belongs to another user"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    MemoryFileSystem files;
    DataController other{registry, files};
    SetDataDir(c.dataDir);
    if (c.accessPath) {
      files.CreateDirectories("/other/Data");
      files.SetAccess(c.accessPath, c.access);
    }
    EXPECT_EQ(ThrownText<MfaException>([&] { other.WriteSecureDataFile("_Sys", B("x")); }),
              "other: Cannot create MfaBaseDataDirectory directory");
    EXPECT_THROW(other.ReadSecureDataFile("_Sys"), std::runtime_error);
    EXPECT_THROW(other.DeleteAllSecureDataFiles(), std::runtime_error);
    EXPECT_TRUE(capture->Contains(c.logged));
    EXPECT_TRUE(files.WriteLog().empty());
  }
  SetDataDir("/store/");
  fs.FailOn(Op::kCreateDirectories, "/store/Data", std::errc::permission_denied);
  EXPECT_EQ(ThrownText<MfaException>([&] { controller.WriteSecureDataFile("_Sys", B("x")); }),
            "other: Cannot create MfaBaseDataDirectory directory");
  EXPECT_TRUE(fs.WriteLog().empty());
}

// A full disk, or any other failure, before the new content takes the file's place leaves the
// previous content whole.
TEST_F(DataControllerTest, FailedWriteStepKeepsThePreviousContent) {
  const struct {
    Op op;
    const char* text;
    const char* left;
  } steps[] = {{Op::kCreate, "CreateFile failed", "old"},
               {Op::kWrite, "WriteFile failed", "old"},
               {Op::kFlush, "FlushFileBuffers failed", "old"},
               {Op::kRename, "FlushFileBuffers failed", "old"},
               {Op::kFlushDirectory, "FlushFileBuffers failed", "new"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.text);
    const std::string name = "f" + std::to_string(static_cast<int>(step.op));
    controller.WriteSecureDataFile(name, B("old"));
    fs.FailOn(step.op, kData + name + ".SDS", std::errc::no_space_on_device);
    EXPECT_EQ(ThrownText<GeneralException>([&] { controller.WriteSecureDataFile(name, B("new")); }),
              step.text);
    EXPECT_EQ(controller.ReadSecureDataFile(name), B(step.left));
  }
}

TEST_F(DataControllerTest, ReadsBackWhatWasWrittenUpToTheSizeLimit) {
  EXPECT_TRUE(controller.ReadSecureDataFile("_Sys").empty());
  controller.WriteSecureDataFile("_Sys", B("whole"));
  EXPECT_EQ(controller.ReadSecureDataFile("_Sys"), B("whole"));

  fs.FailOn(Op::kRead, "/store/Data/_Sys.SDS", std::errc::io_error);
  EXPECT_EQ(ThrownText<GeneralException>([&] { controller.ReadSecureDataFile("_Sys"); }),
            "ReadFile failed");
  Put("max", std::string(DataController::kMaxSecureDataFileSize, 'b'));
  EXPECT_EQ(controller.ReadSecureDataFile("max").size(), DataController::kMaxSecureDataFileSize);
  Put("big", std::string(DataController::kMaxSecureDataFileSize + 1, 'b'));
  EXPECT_THROW(controller.ReadSecureDataFile("big"), GeneralException);
}

TEST_F(DataControllerTest, SaveWritesMasterVersionsThenSecondThenFirstUntilAFailure) {
  SaveRequest request;
  request.firstFileName = "_U7$E1";
  request.secondFileName = "_U7";
  request.firstFileData = B("first");
  request.secondFileData = B("second");
  request.masterVersionsData = B("mv");
  controller.SaveSecureDataFiles(request);
  EXPECT_EQ(fs.WriteLog(), (Names{"/store/Data/_masterVersions.SDS", "/store/Data/_U7.SDS",
                                  "/store/Data/_U7$E1.SDS"}));
  EXPECT_EQ(controller.ReadSecureDataFile("_U7$E1"), B("first"));

  request.masterVersionsData = B("mv2");
  request.firstFileName = "later";
  fs.FailOn(Op::kCreate, "/store/Data/_U7.SDS", std::errc::permission_denied);
  EXPECT_THROW(controller.SaveSecureDataFiles(request), GeneralException);
  EXPECT_EQ(controller.ReadSecureDataFile("_masterVersions"), B("mv2"));
  EXPECT_FALSE(fs.HasFile("/store/Data/later.SDS"));
}

TEST_F(DataControllerTest, DeleteLevel1RewritesMasterVersionsFirstThenDeletesByPrefix) {
  EXPECT_TRUE(controller.DeleteLevel1Files(B("m"), "_U"));  // nothing to delete
  const std::string user = "_US-1-5-21-1-2-3-1001";
  for (const std::string& name :
       Names{"_Sys", user, user + "$E1", user + "$A9", "_US-1-5-21-1-2-3-1002"}) {
    Put(name);
  }
  DeleteLevel1Request request;
  request.masterVersionsData = B("new");
  request.namePrefix = user;
  EXPECT_TRUE(controller.DeleteLevel1Files(request));
  EXPECT_EQ(controller.ReadSecureDataFile("_masterVersions"), B("new"));
  EXPECT_EQ(Remaining(), (Names{"_Sys.SDS", "_US-1-5-21-1-2-3-1002.SDS", "_masterVersions.SDS"}));

  fs.FailOn(Op::kCreate, "/store/Data/_masterVersions.SDS", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteLevel1Files(B("newer"), "_"));
  EXPECT_EQ(Remaining().size(), 3u);
}

TEST_F(DataControllerTest, DeletingUsersStoredDataRemovesActionDataOnly) {
  EXPECT_TRUE(controller.DeleteUsersStoredSecureDataFiles());  // nothing to delete
  for (const char* name : {"_U1", "_U1$A1", "_U1$E1", "_U2$A17", "_Sys$Policy", "_Aside"})
    Put(name);
  fs.PutFile("/store/Data/_U3$A1.txt", "not a secure-data file");
  EXPECT_TRUE(controller.DeleteUsersStoredSecureDataFiles());
  EXPECT_EQ(Remaining(),
            (Names{"_Aside.SDS", "_Sys$Policy.SDS", "_U1$E1.SDS", "_U1.SDS", "_U3$A1.txt"}));
}

TEST_F(DataControllerTest, DeleteAllReportsEveryFailure) {
  EXPECT_TRUE(controller.EnumerateSecureDataFiles().Files().empty());
  EXPECT_TRUE(controller.DeleteAllSecureDataFiles());
  for (const char* name : {"a", "b", "c"}) Put(name);
  fs.PutFile("/store/Data/readme.txt", "kept");
  fs.CreateDirectories("/store/Data/dir.SDS");  // matches, cannot be deleted as a file
  fs.FailOn(Op::kDelete, "/store/Data/b.SDS", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteAllSecureDataFiles());
  EXPECT_EQ(Remaining(), (Names{"b.SDS", "dir.SDS", "readme.txt"}));
  EXPECT_TRUE(capture->Has("Failed deleting file (0XD)"));
  EXPECT_TRUE(capture->Has("Failed deleting file (0X15)"));

  EXPECT_FALSE(MatchesWildcard("*.SDS", "_Sys.sds"));
  EXPECT_TRUE(MatchesWildcard("a*b*c", "aXbYbZc"));
  fs.FailOn(Op::kList, "/store/Data", std::errc::permission_denied);
  EXPECT_EQ(ThrownText<MfaException>([&] { controller.DeleteAllSecureDataFiles(); }),
            "other: FindFirstFile failed");
  EXPECT_TRUE(capture->Has("FindFirstFile failed (0XD)"));
}

TEST_F(DataControllerTest, TraceLogCleanUpKeepsTheTwoNewestOfEachPrefix) {
  EXPECT_TRUE(controller.DeleteEtlLogs()) << "no Logs directory";
  const int seconds[] = {50, 10, 40, 20, 30};
  for (int i = 0; i < 5; ++i) {
    PutLog("Keystone_Engine_Logs_" + std::to_string(i) + ".etl", seconds[i]);
  }
  PutLog("Vox_Scr_Logs_a.etl", 10);
  PutLog("Vox_Scr_Logs_b.etl", 10);  // takes a's slot: a counts as old
  PutLog("Vox_Scr_Logs_c.etl", 5);
  PutLog("Vox_Scr_Logs_d.etl", 1);
  PutLog("Vox_Scr_Logs_busy.etl", 0);
  fs.FailOn(Op::kTime, std::string(kLogs) + "Vox_Scr_Logs_busy.etl", std::errc::permission_denied);
  PutLog("Other.etl", 1);
  PutLog("Keystone_Engine_Logs_9.txt", 1);
  EXPECT_TRUE(controller.DeleteEtlLogs());
  EXPECT_EQ(Remaining("Logs"),
            (Names{"Keystone_Engine_Logs_0.etl", "Keystone_Engine_Logs_2.etl",
                   "Keystone_Engine_Logs_9.txt", "Other.etl", "Vox_Scr_Logs_b.etl",
                   "Vox_Scr_Logs_busy.etl", "Vox_Scr_Logs_c.etl"}));
  EXPECT_TRUE(capture->Has("CreateFile failed with 13"));

  fs.FailOn(Op::kList, "/store/Logs", std::errc::permission_denied);
  EXPECT_FALSE(controller.DeleteEtlLogs());
  EXPECT_TRUE(capture->Has("DeleteEtlLogs unknow error"));
}

TEST(BinaryFileHandlerTest, ReadsOnlyNonEmptyFiles) {
  MemoryFileSystem fs;
  BinaryFileHandler handler(fs);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(handler.Write("/a/b", "f.bin", B("ab")));
  EXPECT_TRUE(handler.Read("/a/b/f.bin", bytes));
  EXPECT_EQ(bytes, B("ab"));
  EXPECT_TRUE(handler.Write("/a/empty", {}));
  EXPECT_FALSE(handler.Read("/a/empty", bytes));
  EXPECT_FALSE(handler.Read("/a/missing", bytes));
}

constexpr const char* kSid = "S-1-5-21-1-2-3-7";

// The items of one TLV sequence, in order, as (tag, value).
std::vector<std::pair<uint16_t, Bytes>> Items(std::span<const uint8_t> bytes) {
  std::vector<std::pair<uint16_t, Bytes>> items;
  ParseTlv(bytes);  // validates the framing
  for (const uint8_t* item = bytes.data(); item != bytes.data() + bytes.size();
       item = TlvNext(item)) {
    items.emplace_back(TlvTag(item), TlvToBytes(item));
  }
  return items;
}

struct FakePolicy : IPolicyMirrorReader {
  std::vector<std::string> FactorIds() override { return factors; }
  std::vector<std::string> ActionIds() override { return actions; }
  std::vector<std::string> factors;
  std::vector<std::string> actions;
};

// The stored-data block the loader attaches to a message, from the data directory above.
class DataLoaderTest : public DataControllerTest {
 protected:
  using DataControllerTest::Put;
  void Put(std::initializer_list<std::string> fullNames) {
    for (const std::string& name : fullNames) Put(name);
  }
  Bytes Build(DataCategories& categories, const std::string& user = "") {
    return BuildPiggyBackBlock(user, categories, controller, policy);
  }
  // The full names in the block's file list, in order.
  static std::vector<std::string> FileNames(const Bytes& block) {
    std::vector<std::string> names;
    const auto body = Items(Items(block).at(0).second);
    for (const auto& file : Items(body.at(1).second)) {
      const Bytes name = Items(file.second).at(0).second;
      names.emplace_back(name.begin(), name.end());
    }
    return names;
  }

  FakePolicy policy;
};

TEST_F(DataLoaderTest, PolicyBlockIsLaidOutByteForByte) {
  Put("_Sys", "S");
  Put("_Sys$Policy", "P");
  DataCategories categories{0x0002};
  // clang-format off
  const Bytes expected = ParseHex(
      "0006003D"                                          // block, 61 bytes
      "7BAC0008" "7BAD000400000002"                        // categories: 2
      "7BAE0029"                                          // files, 41 bytes
      "7BAF000D" "7BB000045F537973" "7BB1000153"           // "_Sys" = "S"
      "7BAF0014" "7BB0000B5F53797324506F6C696379" "7BB1000150"  // "_Sys$Policy" = "P"
      "7BB20000");                                        // user section, empty
  // clang-format on
  EXPECT_EQ(Build(categories), expected);
  EXPECT_EQ(categories, DataCategories{0x0002});
}

TEST_F(DataLoaderTest, CategoriesWhoseConditionFailsAreNotLoaded) {
  Put("_Sys");
  DataCategories categories{0x0002};  // _Sys$Policy missing
  EXPECT_TRUE(Build(categories).empty());
  EXPECT_TRUE(categories.empty());

  categories = {0x0003};  // _Sys$Credential missing
  Put("_Sys$publicKey");
  EXPECT_TRUE(Build(categories).empty());
  // A failed condition adds none of the category's files.
  AuthenticateDataLoader loader(controller, policy);
  loader.LoadKeys({0x0002, 0x0003});
  EXPECT_TRUE(loader.Files().empty());

  Put("_Sys$F1");
  policy.factors = {"1"};
  categories = {0x0101, 0x0102};  // user file missing, so its factor files do not count either
  Put(std::string("_U") + kSid + "$E1");
  EXPECT_TRUE(Build(categories, kSid).empty());
  EXPECT_TRUE(categories.empty());

  categories = {0x0000, 0x0100, 0x0200, 0x0005};  // groups and unknown codes are not handled
  EXPECT_TRUE(Build(categories, kSid).empty());
  EXPECT_TRUE(categories.empty());

  // User categories without a user throw, even with nothing to find.
  for (const auto& [code, text] :
       {std::pair<uint16_t, std::string>{0x0101, "Enrollment data piggyback missing user name"},
        {0x0102, "Action data piggyback missing user name"}}) {
    categories = {code};
    EXPECT_THAT([&] { Build(categories); },
                ::testing::ThrowsMessage<InvalidParamException>(::testing::StrEq(text)));
    EXPECT_EQ(categories, DataCategories{code});
  }
}

TEST_F(DataLoaderTest, SystemFilesNeedMasterVersionsWhoseAbsenceStopsTheWalk) {
  Put({"_Sys", "_Sys$Policy", "_Sys$Credential", "_Sys$F1"});
  policy.factors = {"1"};
  DataCategories categories{0x0002, 0x0001, 0x0003, 0x0201};
  // The walk follows the set's own order; whatever comes before 0x0001 is handled.
  DataCategories before;
  for (uint16_t code : categories) {
    if (code == 0x0001) break;
    before.insert(code);
  }
  Build(categories);
  EXPECT_EQ(categories, before);
  EXPECT_EQ(capture->Count("Piggy-backing system files"), 1u);

  // With master versions, the user file comes along when there is a user.
  Put({"_masterVersions", std::string("_U") + kSid});
  categories = {0x0001};
  EXPECT_EQ(FileNames(Build(categories, kSid)),
            (std::vector<std::string>{"_Sys", std::string("_U") + kSid, "_masterVersions"}));
  categories = {0x0001};
  EXPECT_EQ(FileNames(Build(categories)), (std::vector<std::string>{"_Sys", "_masterVersions"}));
}

TEST_F(DataLoaderTest, BlockDescribesExactlyTheAttachedFiles) {
  Put({"_Sys", "_Sys$Credential", "_Sys$Policy", "_Sys$publicKey2"});
  DataCategories categories{0x0003, 0x0002};
  const Bytes block = Build(categories);
  EXPECT_EQ(FileNames(block), (std::vector<std::string>{"_Sys", "_Sys$Credential", "_Sys$Policy",
                                                        "_Sys$publicKey2"}));
  EXPECT_EQ(categories, (DataCategories{0x0002, 0x0003}));
  std::multiset<Bytes> codes;
  for (const auto& item : Items(Items(Items(block)[0].second)[0].second)) codes.insert(item.second);
  EXPECT_EQ(codes, (std::multiset<Bytes>{ParseHex("00000002"), ParseHex("00000003")}));

  policy.factors = {"1", "2", "3"};
  policy.actions = {"10", "3"};
  const std::string user = std::string("_U") + kSid;
  Put({"_Sys$F1", user, user + "$E2", user + "$A3"});
  categories = {0x0201, 0x0101, 0x0102};
  const Bytes userBlock = Build(categories, kSid);
  EXPECT_EQ(categories.size(), 3u);
  EXPECT_EQ(FileNames(userBlock),
            (std::vector<std::string>{"_Sys", "_Sys$F1", user, user + "$A3", user + "$E2"}));
  // The user, then the factor ids of the attached files (not 3), then the action ids.
  const auto userSection = Items(Items(Items(userBlock)[0].second)[2].second);
  ASSERT_EQ(userSection.size(), 3u);
  EXPECT_EQ(userSection[0], (std::pair<uint16_t, Bytes>{0x7BB3, Bytes(kSid, kSid + 16)}));
  EXPECT_EQ(userSection[1], (std::pair<uint16_t, Bytes>{0x7BBA, ParseHex("7BBB0001317BBB000132")}));
  EXPECT_EQ(userSection[2], (std::pair<uint16_t, Bytes>{0x7BBC, ParseHex("7BBD000133")}));
}

TEST_F(DataLoaderTest, FileThatVanishesAfterLoadingIsSentEmpty) {
  Put("_Sys", "S");
  Put("_Sys$Policy", "P");
  AuthenticateDataLoader loader(controller, policy);
  loader.LoadKeys({0x0002});
  fs.DeleteFile("/store/Data/_Sys$Policy.SDS");
  const auto files = Items(Items(Items(loader.Encode())[0].second)[1].second);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[1].second, ParseHex("7BB0000B5F53797324506F6C6963797BB10000"));
}

TEST_F(DataLoaderTest, BlockThatCannotBeBuiltWholeThrows) {
  Put("_Sys");
  // The largest block carries 32767 bytes, 60 of them framing.
  Put("_Sys$Policy", std::string(32767 - 60, 'p'));
  DataCategories categories{0x0002};
  EXPECT_EQ(Build(categories).size(), 4u + 32767);
  Put("_Sys$Policy", std::string(32767 - 60 + 1, 'p'));
  EXPECT_THROW(Build(categories), std::overflow_error);

  fs.FailOn(MemoryFileSystem::Op::kRead, "/store/Data/_Sys$Policy.SDS", std::errc::io_error);
  EXPECT_THROW(Build(categories), GeneralException);
  categories = {0x0101};
  EXPECT_THROW(Build(categories, "../../etc"), GeneralException);
}

// The file system and the data directory on disk, in a temporary directory; the data root is
// <temp>/state.
class PosixFileSystemTest : public ::testing::Test {
 protected:
  PosixFileSystemTest() {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(Path("state")));
  }
  ~PosixFileSystemTest() override { capture->Uninstall(); }

  std::string Path(const std::string& relative) const { return temp.File(relative); }
  std::string Text(const std::string& relative) const {
    const std::vector<uint8_t> bytes = fs.ReadFile(Path(relative));
    return std::string(bytes.begin(), bytes.end());
  }
  std::vector<std::string> Listed(const std::string& dir) const {
    std::vector<std::string> names = fs.ListDirectory(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  keystone::testing::TempDirectory temp;
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
  EXPECT_THROW(fs.ReadFile(temp.Path()), std::system_error);
  const auto notFound = Property(&std::system_error::code, std::errc::no_such_file_or_directory);
  EXPECT_THAT(
      [&] { fs.WriteFile(Path("missing/a"), big); },
      Throws<platform::FileWriteError>(AllOf(
          Property(&platform::FileWriteError::Step, platform::WriteStep::kCreate), notFound)));
  fs.CreateDirectories(Path("d/e"));
  EXPECT_EQ(Listed(temp.Path()), (std::vector<std::string>{"a", "d"}));
  EXPECT_THROW(fs.DeleteFile(Path("d/e")), std::system_error);
  EXPECT_THAT([&] { fs.ListDirectory(Path("missing")); }, Throws<std::system_error>(notFound));
  stdfs::last_write_time(Path("a"), stdfs::file_time_type::clock::now() - std::chrono::hours(30));
  fs.WriteFile(Path("b"), big);
  EXPECT_GT(fs.LastWriteTime(Path("b")) - fs.LastWriteTime(Path("a")), std::chrono::hours(29));
}

// A dangling link is listed but has no time, so it is kept.
TEST_F(PosixFileSystemTest, TraceLogCleanUpOnDiskKeepsALinkWithoutATime) {
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

// A link planted under a file's name is replaced, never written through, and never read.
TEST_F(PosixFileSystemTest, SecureDataFilesNeverFollowALink) {
  controller.WriteSecureDataFile("_Sys", B("first"));
  fs.WriteFile(Path("victim"), B("root's own file"));
  stdfs::remove(Path("state/Data/_Sys.SDS"));
  stdfs::create_symlink(Path("victim"), Path("state/Data/_Sys.SDS"));
  stdfs::create_symlink(Path("chosen"), Path("state/Data/_Sys$Policy.SDS"));
  stdfs::create_symlink(Path("victim"), Path("state/Data/_U1.SDS"));

  EXPECT_EQ(ThrownText<GeneralException>([&] { controller.ReadSecureDataFile("_U1"); }),
            "ReadFile failed");
  controller.WriteSecureDataFile("_Sys", B("second"));
  controller.WriteSecureDataFile("_Sys$Policy", B("policy"));
  EXPECT_EQ(Text("victim"), "root's own file");
  EXPECT_FALSE(stdfs::exists(Path("chosen")));
  EXPECT_FALSE(stdfs::is_symlink(Path("state/Data/_Sys.SDS")));
  EXPECT_EQ(controller.ReadSecureDataFile("_Sys"), B("second"));
  EXPECT_EQ(controller.ReadSecureDataFile("_Sys$Policy"), B("policy"));
  EXPECT_EQ(stdfs::status(Path("state/Data/_Sys.SDS")).permissions(), stdfs::perms(0600));
}

TEST_F(PosixFileSystemTest, RefusesADataDirectoryOthersCouldRedirect) {
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
    EXPECT_THROW(controller.WriteSecureDataFile("_Sys", B("x")), std::runtime_error);
    EXPECT_TRUE(capture->Contains(c.logged));
    EXPECT_TRUE(Listed(Path("elsewhere")).empty());
  }
}

TEST_F(PosixFileSystemTest, RefusesADataDirectoryOwnedByAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "handing a directory to another user needs root";
  controller.WriteSecureDataFile("_Sys", B("kept"));
  ASSERT_EQ(::chown(Path("state/Data").c_str(), 65534, 65534), 0);
  EXPECT_THROW(controller.WriteSecureDataFile("_Sys", B("x")), std::runtime_error);
  EXPECT_TRUE(capture->Contains("/state/Data\": it belongs to another user"));
  EXPECT_EQ(Text("state/Data/_Sys.SDS"), "kept");
}

// What a killed writer left is removed; what a writer of this process has open is not.
TEST_F(PosixFileSystemTest, RemovesTemporariesOfInterruptedWritesOfOtherProcesses) {
  controller.WriteSecureDataFile("_Sys", B("x"));
  const std::string own = ".replace-" + std::to_string(::getpid()) + "-00.tmp";
  for (const std::string& name : {std::string(".replace-1-0a.tmp"), own,
                                  std::string(".replace-x.tmp"), std::string("keep.tmp")}) {
    fs.WriteFile(Path("state/Data/" + name), B("partial"));
  }
  EXPECT_EQ(controller.RemoveInterruptedWrites(), 1u);
  EXPECT_EQ(Listed(Path("state/Data")),
            (std::vector<std::string>{own, ".replace-x.tmp", "_Sys.SDS", "keep.tmp"}));
  EXPECT_TRUE(capture->Contains("Removed 1 temporary file(s) of interrupted writes"));
}

}  // namespace
}  // namespace mfab
