// The built keystonectl run as a program: reg against a store in a temporary KEYSTONE_STATE_DIR,
// tlv on a few buffers, and the applet, auth and session commands' command-line errors and what
// they say when no engine listens (against a running engine they run in the end-to-end tests).

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"

namespace {

using keystone::testing::ProgramResult;
using platform::RegType;
using platform::RegValue;
using Args = std::vector<std::string>;

constexpr const char* kEngine = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine";

class KeystonectlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*keystone::testing::kKeystonectlBinary) GTEST_SKIP() << "keystonectl was not built";
  }
  ProgramResult Run(const Args& args, const std::string& input = "") {
    return keystone::testing::RunProgram(
        keystone::testing::kKeystonectlBinary, args,
        {.env = {{"KEYSTONE_STATE_DIR", dir.Path()}, {"KEYSTONE_RUNTIME_DIR", dir.File("none")}},
         .input = input});
  }
  ProgramResult RunLine(const std::string& words, const std::string& input = "") {
    return Run(keystone::testing::Words(words), input);
  }
  // Runs it and expects success with each line in the output.
  void ExpectLines(const std::string& words, const Args& lines, const std::string& input = "") {
    const ProgramResult result = RunLine(words, input);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& line : lines) {
      EXPECT_NE(result.out.find(line), std::string::npos) << line << "\nin:\n" << result.out;
    }
  }
  std::unique_ptr<platform::Registry> Store() {
    return platform::OpenRegistry(dir.File("registry.db"));
  }

  keystone::testing::TempDirectory dir;
};

// Command-line errors exit 2, failures 1, each with its reason on standard error.
TEST_F(KeystonectlTest, FailuresExitWithTheirReason) {
  const struct {
    const char* line;
    int exitCode;
    const char* reason;
  } cases[] = {
      {"applet", 2, "applet needs send, policy, factor-check or phone-check"},
      {"applet factor-check S-1-5-21-1-2-3-1000", 2, "needs USER_SID and FACTOR_ID"},
      {"enroll S-1-5-21-1-2-3-1000", 2, "enroll needs USER_SID and FACTOR_ID"},
      {"enroll S-1-5-21-1-2-3-1000 pin --session x", 2, "--session needs a number, not 'x'"},
      {"enroll S-1-5-21-1-2-3-1000 pin", 1, "cannot reach the engine"},
      {"applet send --type banana", 2, "--type needs a number, not 'banana'"},
      {"applet send --type 0xABBA0065 --payload", 2, "--payload needs a value"},
      {"applet policy set", 2, "policy set needs --file or at least one --factor"},
      {"applet policy set --factor pin", 2, "--factor needs ID:TYPE[:NAME], not 'pin'"},
      {"applet policy set --factor pin:1 --file x.hex", 2,
       "--file and --factor/--action/--setting exclude"},
      {"applet policy set --factor pin:1 --param pin", 2, "--param needs ID:NAME=VALUE"},
      {"backup user", 2, "backup needs clear, user SID or all"},
      {"discover action", 2, "discover needs action ID, policy, enrollment FACTOR, users or"},
      {"discover users --user", 2, "unknown or incomplete option '--user'"},
      {"record", 2, "record needs the user's SID"},
      {"discover users", 1, "cannot reach the engine"},
      {"support pin", 1, "cannot reach the engine"},
      {"applet policy get --bogus", 2, "unknown policy get argument '--bogus'"},
      {"auth", 2, "auth needs wait"},
      {"session release", 2, "session release needs the session id"},
      {"auth wait", 1, "cannot reach the engine"},
      {"session new", 1, "cannot reach the engine"},
      {"applet policy set --factor pin:1:PIN --action OSLogin=pin", 1, "cannot reach the engine"},
      {"reg set HKLM\\K X REG_DWORD 4294967296", 1, "not a REG_DWORD"},
      {"reg set HKLM\\K X REG_QWORD 0x", 1, "not a REG_QWORD"},
      {"reg set HKLM\\K X REG_WORD 1", 1, "unknown registry type"},
      {"reg set HKLM\\K X REG_BINARY 0g", 1, "bad hex"},
      {"reg set HKXX\\A X REG_SZ a", 1, "no known hive"},
      {"reg query HKLM\\\\A", 1, "empty key name"},
      {"reg query HKLM\\K", 1, "not found"},
      {"reg export HKLM\\SOFTWARE\\", 1, ""},
      {"tlv message 000000040000000500010004abba0001", 1, "Requested TLV (0x0003) not found."},
      {"tlv dump 7b0100050102", 1, "TLV item (0x7b01) declares 5 value bytes but only 2 remain."},
      {"tlv dump 7g", 1, ""},
  };
  for (const auto& c : cases) {
    const ProgramResult result = RunLine(c.line);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.line << "\n" << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.line << "\n" << result.err;
  }
  for (const char* line :
       {"reg", "reg frobnicate", "reg query", "reg set HKLM\\K X", "reg set HKLM\\K X REG_SZ",
        "reg set HKLM\\K X REG_DWORD 1 2", "reg delete-tree", "reg export HKLM\\K x", "tlv",
        "tlv frobnicate 00", "tlv dump", "tlv build --module 1 --type 1",
        "tlv build --module 0x100000000 --type 1 --category 1",
        "tlv message --as NoSuchClass 00"}) {
    EXPECT_EQ(RunLine(line).exitCode, 2) << line;
  }
  const ProgramResult emptyPart = Run({"reg", "set", "HKLM\\K", "X", "REG_MULTI_SZ", "a", ""});
  EXPECT_EQ(emptyPart.exitCode, 1);
  EXPECT_NE(emptyPart.err.find("cannot be empty"), std::string::npos) << emptyPart.err;
  EXPECT_EQ(Store()->OpenKey("HKLM\\K", platform::reg_access::kRead), nullptr);
}

TEST_F(KeystonectlTest, RegQueryShowsWhatRegSetStored) {
  const std::string key = kEngine;
  for (const Args& args : std::vector<Args>{{"DataDir", "REG_SZ", "/srv/keystone"},
                                            {"Level", "reg_dword", "0x10"},
                                            {"Big", "REG_QWORD", "18446744073709551615"},
                                            {"List", "REG_MULTI_SZ", "a", "b c"},
                                            {"Blob", "REG_BINARY", "01:02:AB"},
                                            {"", "REG_EXPAND_SZ", "%HOME%"}}) {
    Args command{"reg", "set", key};
    command.insert(command.end(), args.begin(), args.end());
    const ProgramResult r = Run(command);
    ASSERT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
  }
  ASSERT_EQ(Run({"reg", "set", key + "\\Factors\\SoftBT", "Device", "REG_SZ", "AA:BB"}).exitCode,
            0);
  // What query prints shows what set stored: each type, the multi-string's two parts.
  EXPECT_EQ(
      Run({"reg", "query", "hkey_local_machine\\software\\ostra\\ostra keystone\\engine"}).out,
      "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\n"
      "    (Default)    REG_EXPAND_SZ    %HOME%\n"
      "    Big    REG_QWORD    0xffffffffffffffff\n"
      "    Blob    REG_BINARY    0102ab\n"
      "    DataDir    REG_SZ    /srv/keystone\n"
      "    Level    REG_DWORD    0x10\n"
      "    List    REG_MULTI_SZ    a\\0b c\n"
      "\n"
      "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\n");
  EXPECT_EQ(Run({"reg", "query", key, "LEVEL"}).out,
            "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\n    Level    REG_DWORD    0x10\n");
}

TEST_F(KeystonectlTest, RegExportWritesTheSubtreeAsText) {
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
  const ProgramResult r = Run({"reg", "export", kEngine});
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

// The store's delete rules are the registry's tests; these are the commands' outcomes.
TEST_F(KeystonectlTest, RegDeleteLeavesSubtreesToDeleteTree) {
  const std::string a = std::string(kEngine) + "\\A";
  platform::WriteRegistryValue(*Store(), a + "\\B", "v", RegValue::Dword(1));
  const ProgramResult refused = Run({"reg", "delete", a});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("subkeys"), std::string::npos);
  EXPECT_EQ(Run({"reg", "delete", a + "\\B", "V"}).exitCode, 0);
  EXPECT_EQ(Run({"reg", "delete-tree", a}).exitCode, 0);
  EXPECT_EQ(Store()->OpenKey(a, platform::reg_access::kRead), nullptr);
}

// SaveRequest payload: 0x7B30 aabbcc, 0x7B31 00, 0x7B32 empty, 0x7B33 "n1", 0x7B34 empty.
constexpr char kSavePayload[] = "7b300003aabbcc7b310001007b3200007b3300026e317b340000";
constexpr char kSaveMessage[] =
    "000000040000000500010004abba000100030004000000010002001a"
    "7b300003aabbcc7b310001007b3200007b3300026e317b340000"
    "000700040000000000080004ffffffff";

TEST_F(KeystonectlTest, TlvBuildPrintsTheSerializedEnvelope) {
  const ProgramResult o = RunLine(
      std::string("tlv build --module 5 --type 0xABBA0001 --category 1 --payload ") + kSavePayload);
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(o.out, std::string(kSaveMessage) + "\n");
  EXPECT_EQ(RunLine("tlv build --module 0xffffffff --type 0xabbaffff --category 0").out,
            "00000004ffffffff00010004abbaffff0003000400000000000200000007000400000000"
            "00080004ffffffff\n")
      << "the default Message's 44 bytes";
  // Response flag and session.
  ExpectLines("tlv build --module 1 --type 2 --category 3 --response --session 9",
              {"00070004000000010008000400000009\n"});
}

TEST_F(KeystonectlTest, TlvDecodersShowEachItem) {
  ExpectLines(std::string("tlv dump ") + kSaveMessage,
              {"0000: tag 0x0000 len 4  00000005  = 5\n", "0018: tag 0x0002 len 26  7b30",
               "\n  001c: tag 0x7b30 len 3  aabbcc",
               "\n  002c: tag 0x7b33 len 2  6e31  = 28209  \"n1\"\n"});
  // A four-byte value that happens to parse as an empty item stays an integer.
  EXPECT_EQ(RunLine(std::string("tlv dump ") + kSaveMessage).out.find("\n  0010:"),
            std::string::npos);
  ExpectLines(
      "tlv message -",
      {"messageType = 0xabba0001 (mfab::SaveRequest)\n", "metadata    = absent\n",
       "sessionId   = 4294967295 (0xffffffff)\n", "payload mfab::SaveRequest:\n",
       "  masterVersionsData (0x7b30) = [3] aabbcc\n", "  secondFileName (0x7b33) = \"n1\"\n"},
      kSaveMessage);
}

TEST_F(KeystonectlTest, TlvMessageShowsTheEnvelopeBlocks) {
  // Metadata with one entry whose text is "hi"; then a 0x0006 block naming one file.
  const std::string entry =
      "6a0200006a030004000000016a0400035445456a050004000000006a0600006a07000268696a0800040000000"
      "06a0900080000000000000064";
  const ProgramResult built = RunLine(
      "tlv build --module 5 --type 0xabba0002 --category 0 --payload 7b08000400000001"
      " --metadata 7b380039" +
      entry);
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const std::string block =
      "000600207bac00087bad0004000001017bae00107baf000c7bb00001617bb10003010203";
  ExpectLines(
      "tlv message " + built.out.substr(0, built.out.size() - 1) + block,
      {"metadata entries: 1\n", "    text (0x6a07) = \"hi\"\n", "    fwTime (0x6a09) = 100\n",
       "stored data (0x0006): 32 bytes\n", "  categories: 0x0101\n", "  file \"a\": 3 bytes\n",
       "payload mfab::SaveResponse:\n  result (0x7b08) = 1"});
}

// The verdict the engine would reach, and why, as the administrator sees it.
TEST_F(KeystonectlTest, SignVerifyShowsTheVerdictWithItsReason) {
  using namespace keystone::testing;
  if (!*kTestDesktopProgram) GTEST_SKIP() << "the signed test program was not built";
  const std::string program = CopySigned(kTestDesktopProgram, dir.Path(), "program");
  const std::string tampered = CopySigned(kTestDesktopProgram, dir.Path(), "tampered");
  std::string bytes = ReadFileText(tampered);
  bytes[bytes.size() / 3] ^= 0x10;
  std::ofstream(tampered, std::ios::binary | std::ios::trunc) << bytes;
  const std::string thumbprint = ThumbprintOf(kTestSignerCert);

  ProgramResult printed = Run({"sign", "thumbprint", kTestSignerCert});
  EXPECT_EQ(printed.exitCode, 0) << printed.err;
  EXPECT_EQ(printed.out, thumbprint + "\n");

  ProgramResult result = Run({"sign", "verify", program});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.out.find("verdict: not trusted (no-trusted-signers)"), std::string::npos);
  EXPECT_NE(result.out.find("signer: " + thumbprint), std::string::npos);

  platform::WriteRegistryValue(*Store(), kEngine, "TrustedSigners",
                               RegValue::MultiString({thumbprint, "not-a-thumbprint"}));
  const struct {
    std::string file;
    int exitCode;
    std::string verdict;
  } cases[] = {
      {program, 0, "verdict: trusted\nsigner: " + thumbprint},
      {tampered, 1, "verdict: not trusted (signature-mismatch)"},
      {dir.File("program.sig"), 1, "verdict: not trusted (signature-missing)"},
  };
  for (const auto& c : cases) {
    result = Run({"sign", "verify", c.file});
    EXPECT_EQ(result.exitCode, c.exitCode) << c.file << ": " << result.out;
    EXPECT_NE(result.out.find(c.verdict), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("ignoring TrustedSigners entry 'not-a-thumbprint'"),
              std::string::npos);
  }
  EXPECT_EQ(Run({"sign", "verify"}).exitCode, 2);
}

}  // namespace
