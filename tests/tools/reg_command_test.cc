// keystonectl reg, run as a program against a store in a temporary KEYSTONE_STATE_DIR.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/registry.h"

extern char** environ;

namespace {

using platform::RegType;
using platform::RegValue;
using ::testing::HasSubstr;

constexpr const char* kEngine = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine";

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class RegCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/reg-command-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  Result Run(std::vector<std::string> args) {
    args.insert(args.begin(), {KEYSTONECTL_BINARY, "reg"});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"KEYSTONE_STATE_DIR=" + dir};
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("KEYSTONE_STATE_DIR=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string out = dir + "/stdout";
    const std::string err = dir + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    Result result;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = Slurp(out);
    result.err = Slurp(err);
    return result;
  }

  std::unique_ptr<platform::Registry> Store() { return platform::OpenRegistry(dir + "/registry.db"); }

  static std::string Slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }

  std::string dir;
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
    Result r = Run(args);
    ASSERT_EQ(r.exitCode, 0) << args[2] << ": " << r.err;
  }
  auto engine = Store()->OpenKey(kEngine, platform::reg_access::kRead);
  EXPECT_EQ(engine->QueryValue("level")->AsDword(), 16u);
  EXPECT_EQ(engine->QueryValue("List")->AsMultiString(), (std::vector<std::string>{"a", "b c"}));
  EXPECT_EQ(engine->QueryValue("Blob"), RegValue::Binary({1, 2, 0xAB}));

  Result query = Run({"query", "hkey_local_machine\\software\\ostra\\ostra keystone\\engine"});
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
  Result one = Run({"query", key, "LEVEL"});
  EXPECT_EQ(one.out, "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\n    Level    REG_DWORD    0x10\n");
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
  Result r = Run({"export", std::string(kEngine) + "\\"});
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
  Result refused = Run({"delete", a});
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
    Result r = Run(args);
    EXPECT_EQ(r.exitCode, 1) << args[0] << " " << args.back();
    EXPECT_THAT(r.err, HasSubstr(message));
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"query"}, {"set", key, "X"}, {"set", key, "X", "REG_SZ"},
           {"set", key, "X", "REG_DWORD", "1", "2"}, {"delete-tree"}, {"export", key, "x"}}) {
    EXPECT_EQ(Run(args).exitCode, 2) << (args.empty() ? "" : args[0]);
  }
  EXPECT_EQ(Store()->OpenKey(key, platform::reg_access::kRead), nullptr);
}

}  // namespace
