// Runs the built keystonectl tlv on a few buffers and checks what it prints and how it exits.

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"

namespace {

using keystone::testing::ProgramResult;

class TlvCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*keystone::testing::kKeystonectlBinary) GTEST_SKIP() << "keystonectl was not built";
  }
  // Runs "keystonectl tlv <words>" with input on standard input.
  static ProgramResult Run(const std::string& words, const std::string& input = "") {
    return keystone::testing::RunProgram(keystone::testing::kKeystonectlBinary,
                                         keystone::testing::Words("tlv " + words),
                                         {.input = input});
  }
  // Runs it, expects success and each line in the output.
  static void ExpectLines(const std::string& words, const std::vector<std::string>& lines,
                          const std::string& input = "") {
    const ProgramResult result = Run(words, input);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& line : lines) {
      EXPECT_NE(result.out.find(line), std::string::npos) << line << "\nin:\n" << result.out;
    }
  }
};

// SaveRequest payload: 0x7B30 aabbcc, 0x7B31 00, 0x7B32 empty, 0x7B33 "n1", 0x7B34 empty.
constexpr char kSavePayload[] = "7b300003aabbcc7b310001007b3200007b3300026e317b340000";
constexpr char kSaveMessage[] =
    "000000040000000500010004abba000100030004000000010002001a"
    "7b300003aabbcc7b310001007b3200007b3300026e317b340000"
    "000700040000000000080004ffffffff";

TEST_F(TlvCommandTest, BuildPrintsTheSerializedEnvelope) {
  const ProgramResult o =
      Run(std::string("build --module 5 --type 0xABBA0001 --category 1 --payload ") + kSavePayload);
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(o.out, std::string(kSaveMessage) + "\n");

  EXPECT_EQ(Run("build --module 0xffffffff --type 0xabbaffff --category 0").out,
            "00000004ffffffff00010004abbaffff0003000400000000000200000007000400000000"
            "00080004ffffffff\n")
      << "the default Message's 44 bytes";
  // Response flag and session.
  ExpectLines("build --module 1 --type 2 --category 3 --response --session 9",
              {"00070004000000010008000400000009\n"});
}

TEST_F(TlvCommandTest, DumpIndentsValuesThatAreWholeSequences) {
  const ProgramResult o = Run(std::string("dump ") + kSaveMessage);
  ASSERT_EQ(o.exitCode, 0) << o.err;
  for (const char* line : {"0000: tag 0x0000 len 4  00000005  = 5\n",
                           "0018: tag 0x0002 len 26  7b30", "\n  001c: tag 0x7b30 len 3  aabbcc",
                           "\n  002c: tag 0x7b33 len 2  6e31  = 28209  \"n1\"\n"}) {
    EXPECT_NE(o.out.find(line), std::string::npos) << line << "\nin:\n" << o.out;
  }
  // A four-byte value that happens to parse as an empty item stays an integer.
  EXPECT_EQ(o.out.find("\n  0010:"), std::string::npos) << o.out;
}

TEST_F(TlvCommandTest, MessageDecodesFieldsAndTheKnownPayload) {
  ExpectLines(
      "message -",
      {"messageType = 0xabba0001 (mfab::SaveRequest)\n", "metadata    = absent\n",
       "sessionId   = 4294967295 (0xffffffff)\n", "payload mfab::SaveRequest:\n",
       "  masterVersionsData (0x7b30) = [3] aabbcc\n", "  secondFileName (0x7b33) = \"n1\"\n"},
      kSaveMessage);
}

TEST_F(TlvCommandTest, MessageShowsMetadataEntriesAndTheStoredDataBlock) {
  // Metadata with one entry whose text is "hi"; then a 0x0006 block naming one file.
  const std::string entry =
      "6a0200006a03000400000001"
      "6a040003544545"
      "6a05000400000000"
      "6a060000"
      "6a0700026869"
      "6a08000400000000"
      "6a0900080000000000000064";
  const ProgramResult built =
      Run("build --module 5 --type 0xabba0002 --category 0 --payload 7b08000400000001"
          " --metadata 7b380039" +
          entry);
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const std::string block =
      "000600207bac00087bad000400000101"
      "7bae00107baf000c7bb0000161"
      "7bb10003010203";
  ExpectLines(
      "message " + built.out.substr(0, built.out.size() - 1) + block,
      {"metadata entries: 1\n", "    text (0x6a07) = \"hi\"\n", "    fwTime (0x6a09) = 100\n",
       "stored data (0x0006): 32 bytes\n", "  categories: 0x0101\n", "  file \"a\": 3 bytes\n",
       "payload mfab::SaveResponse:\n  result (0x7b08) = 1"});
}

// Bad buffers exit 1 with the decoder's text; command-line errors exit 2.
TEST_F(TlvCommandTest, BadBuffersExitOneAndCommandLineErrorsTwo) {
  const struct {
    std::string words;
    std::string input;
    int exitCode;
    const char* text;
  } cases[] = {
      {"message 000000040000000500010004abba0001", "", 1, "Requested TLV (0x0003) not found."},
      {"dump 7b0100050102", "", 1, "TLV item (0x7b01) declares 5 value bytes but only 2 remain."},
      {"dump 7g", "", 1, ""},
      {"build --module 1 --type 1 --category 1 --payload -", std::string(2 * 32768, 'a'), 1,
       "Error converting value 32768 to unsigned short (max value: 32767)."},
      {"", "", 2, ""},
      {"frobnicate 00", "", 2, ""},
      {"dump", "", 2, ""},
      {"build --module 1 --type 1", "", 2, ""},
      {"build --module 0x100000000 --type 1 --category 1", "", 2, ""},
      {"message --as NoSuchClass 00", "", 2, ""},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Run(c.words, c.input);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.words;
    EXPECT_NE(result.err.find(c.text), std::string::npos) << c.words << ": " << result.err;
  }
}

}  // namespace
