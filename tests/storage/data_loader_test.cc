#include "storage/data_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "common/hex.h"
#include "platform/registry.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using keystone::ParseHex;
using keystone::testing::LogCapture;
using keystone::testing::MemoryFileSystem;
using keystone::testing::MemoryRegistry;

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

class DataLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/d"));
  }
  void TearDown() override { capture->Uninstall(); }

  void Put(const std::string& fullName, const std::string& content = "x") {
    fs.PutFile("/d/Data/" + fullName + ".SDS", content);
  }
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

  MemoryRegistry registry;
  MemoryFileSystem fs;
  DataController controller{registry, fs};
  FakePolicy policy;
  std::shared_ptr<LogCapture> capture;
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
  fs.DeleteFile("/d/Data/_Sys$Policy.SDS");
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

  fs.FailOn(MemoryFileSystem::Op::kRead, "/d/Data/_Sys$Policy.SDS", std::errc::io_error);
  EXPECT_THROW(Build(categories), GeneralException);
  categories = {0x0101};
  EXPECT_THROW(Build(categories, "../../etc"), GeneralException);
}

}  // namespace
}  // namespace mfab
