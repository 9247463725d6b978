// keystonectl reg, run as a program against a store in a temporary KEYSTONE_STATE_DIR.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"

namespace {

using keystone::testing::ProgramResult;
using platform::RegType;
using platform::RegValue;
using ::testing::HasSubstr;

constexpr const char* kEngine = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine";

class RegCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*keystone::testing::kKeystonectlBinary) GTEST_SKIP() << "keystonectl was not built";
  }
  ProgramResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), "reg");
    return keystone::testing::RunProgram(keystone::testing::kKeystonectlBinary, args,
                                         {.env = {{"KEYSTONE_STATE_DIR", dir.Path()}}});
  }
  std::unique_ptr<platform::Registry> Store() {
    return platform::OpenRegistry(dir.File("registry.db"));
  }

  keystone::testing::TempDirectory dir;
};

TEST_F(RegCommandTest, SetStoresEachTypeAndQueryShowsIt) {
  const std::string key = kEngine;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", key, "DataDir", "REG_SZ", "/srv/keystone"},
           {"set", key, "Level", "reg_dword", "0x10"},
           {"set", key, "Big", "REG_QWORD", "18446744073709551615"},
           {"set", key, "List", "REG_MULTI_SZ", "a", "b c"},
           {"set", key, "Blob", "REG_BINARY", "01:02:AB"},
           {"set", key, "", "REG_EXPAND_SZ", "%HOME%"},
           {"set", key + "\\Factors\\SoftBT", "Device", "REG_SZ", "AA:BB"}}) {
    ProgramResult r = Run(args);
    ASSERT_EQ(r.exitCode, 0) << args[2] << ": " << r.err;
  }
  // What query prints shows what set stored: each type, the multi-string's two parts.
  ProgramResult query =
      Run({"query", "hkey_local_machine\\software\\ostra\\ostra keystone\\engine"});
  ASSERT_EQ(query.exitCode, 0) << query.err;
  EXPECT_EQ(query.out,
            "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\n"
            "    (Default)    REG_EXPAND_SZ    %HOME%\n"
            "    Big    REG_QWORD    0xffffffffffffffff\n"
            "    Blob    REG_BINARY    0102ab\n"
            "    DataDir    REG_SZ    /srv/keystone\n"
            "    Level    REG_DWORD    0x10\n"
            "    List    REG_MULTI_SZ    a\\0b c\n"
            "\n"
            "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\n");
  ProgramResult one = Run({"query", key, "LEVEL"});
  EXPECT_EQ(one.out,
            "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\n    Level    REG_DWORD    0x10\n");
}

TEST_F(RegCommandTest, ExportWritesTheSubtreeAsText) {
  {
    auto store = Store();
    auto engine = store->CreateKey(kEngine, platform::reg_access::kAllAccess);
    engine->SetValue("", RegValue::String("say \"hi\"\\\n"));
    engine->SetValue("Short", RegValue{RegType::kDword, {1, 2, 3}});
    engine->SetValue("N", RegValue::Dword(4));
    engine->SetValue("Q", RegValue::Qword(5));
    engine->SetValue("M", RegValue::MultiString({"x", "y"}));
    engine->SetValue("E", RegValue::String("%P%", RegType::kExpandSz));
    store->CreateKey(std::string(kEngine) + "\\Sub\\Leaf", platform::reg_access::kAllAccess)
        ->SetValue("B", RegValue::Binary({0xde, 0xad}));
  }
  ProgramResult r = Run({"export", std::string(kEngine) + "\\"});
  EXPECT_EQ(r.exitCode, 1);
  r = Run({"export", kEngine});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "Keystone Registry Export 1\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine]\n"
            "@=\"say \\\"hi\\\"\\\\\\n\"\n"
            "\"E\"=expand:\"%P%\"\n"
            "\"M\"=multi:\"x\",\"y\"\n"
            "\"N\"=dword:00000004\n"
            "\"Q\"=qword:0000000000000005\n"
            "\"Short\"=hex(4):01,02,03\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Sub]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Sub\\Leaf]\n"
            "\"B\"=hex:de,ad\n"
            "\n");
}

TEST_F(RegCommandTest, DeleteRefusesSubkeysAndDeleteTreeRemovesThem) {
  platform::WriteRegistryValue(*Store(), std::string(kEngine) + "\\A\\B", "v", RegValue::Dword(1));
  const std::string a = std::string(kEngine) + "\\A";
  ProgramResult refused = Run({"delete", a});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_THAT(refused.err, HasSubstr("subkeys"));
  EXPECT_EQ(Run({"delete", a + "\\B", "V"}).exitCode, 0);
  EXPECT_EQ(Run({"delete", a + "\\B", "v"}).exitCode, 1);
  EXPECT_EQ(Run({"delete-tree", a}).exitCode, 0);
  EXPECT_EQ(Store()->OpenKey(a, platform::reg_access::kRead), nullptr);
  EXPECT_NE(Store()->OpenKey(kEngine, platform::reg_access::kRead), nullptr);
  EXPECT_EQ(Run({"delete-tree", a}).exitCode, 1);
}

TEST_F(RegCommandTest, BadInputExitsOneAndBadCommandLinesExitTwo) {
  const std::string key = kEngine;
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"set", key, "X", "REG_DWORD", "4294967296"}, "not a REG_DWORD"},
      {{"set", key, "X", "REG_DWORD", "-1"}, "not a REG_DWORD"},
      {{"set", key, "X", "REG_QWORD", "0x"}, "not a REG_QWORD"},
      {{"set", key, "X", "REG_WORD", "1"}, "unknown registry type"},
      {{"set", key, "X", "REG_BINARY", "0g"}, "bad hex"},
      {{"set", key, "X", "REG_MULTI_SZ", "a", ""}, "cannot be empty"},
      {{"set", "HKXX\\A", "X", "REG_SZ", "a"}, "no known hive"},
      {{"query", "HKLM\\\\A"}, "empty key name"},
      {{"query", key + "\\Missing"}, "not found"},
      {{"query", "HKLM", "Missing"}, "not found"},
  };
  for (const auto& [args, message] : bad) {
    ProgramResult r = Run(args);
    EXPECT_EQ(r.exitCode, 1) << args[0] << " " << args.back();
    EXPECT_THAT(r.err, HasSubstr(message));
  }
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"frobnicate"},
                                             {"query"},
                                             {"set", key, "X"},
                                             {"set", key, "X", "REG_SZ"},
                                             {"set", key, "X", "REG_DWORD", "1", "2"},
                                             {"delete-tree"},
                                             {"export", key, "x"}}) {
    EXPECT_EQ(Run(args).exitCode, 2) << (args.empty() ? "" : args[0]);
  }
  EXPECT_EQ(Store()->OpenKey(key, platform::reg_access::kRead), nullptr);
}

}  // namespace
