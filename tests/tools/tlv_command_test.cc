// Runs the built keystonectl on a few buffers and checks what it prints and how it exits.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>

namespace {

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class TlvCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef KEYSTONECTL_BINARY
    GTEST_SKIP() << "keystonectl is not part of this build";
#endif
  }

  // Runs "keystonectl tlv <arguments>" through the shell, with input on standard input.
  Outcome Run(const std::string& arguments, const std::string& input = "") {
#ifdef KEYSTONECTL_BINARY
    const std::string dir = ::testing::TempDir();
    const std::string in = dir + "tlv_in.txt", out = dir + "tlv_out.txt", err = dir + "tlv_err.txt";
    std::ofstream(in) << input;
    const std::string command = std::string(KEYSTONECTL_BINARY) + " tlv " + arguments + " <" + in +
                                " >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Slurp(out);
    outcome.err = Slurp(err);
    return outcome;
#else
    (void)arguments;
    (void)input;
    return {};
#endif
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
};

// SaveRequest payload: 0x7B30 aabbcc, 0x7B31 00, 0x7B32 empty, 0x7B33 "n1", 0x7B34 empty.
constexpr char kSavePayload[] = "7b300003aabbcc7b310001007b3200007b3300026e317b340000";
constexpr char kSaveMessage[] =
    "000000040000000500010004abba000100030004000000010002001a"
    "7b300003aabbcc7b310001007b3200007b3300026e317b340000"
    "000700040000000000080004ffffffff";

TEST_F(TlvCommandTest, BuildPrintsTheSerializedEnvelope) {
  const Outcome o =
      Run(std::string("build --module 5 --type 0xABBA0001 --category 1 --payload ") + kSavePayload);
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(o.out, std::string(kSaveMessage) + "\n");

  const Outcome defaults = Run("build --module 0xffffffff --type 0xabbaffff --category 0");
  EXPECT_EQ(defaults.out,
            "00000004ffffffff00010004abbaffff0003000400000000000200000007000400000000"
            "00080004ffffffff\n")
      << "the default Message's 44 bytes";
}

TEST_F(TlvCommandTest, BuildSetsResponseAndSession) {
  const Outcome o = Run("build --module 1 --type 2 --category 3 --response --session 9");
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_NE(o.out.find("00070004000000010008000400000009\n"), std::string::npos) << o.out;
}

TEST_F(TlvCommandTest, DumpIndentsValuesThatAreWholeSequences) {
  const Outcome o = Run(std::string("dump ") + kSaveMessage);
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_NE(o.out.find("0000: tag 0x0000 len 4  00000005  = 5\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("0018: tag 0x0002 len 26  7b30"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\n  001c: tag 0x7b30 len 3  aabbcc"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\n  002c: tag 0x7b33 len 2  6e31  = 28209  \"n1\"\n"), std::string::npos)
      << o.out;
  // A four-byte value that happens to parse as an empty item stays an integer.
  EXPECT_EQ(o.out.find("\n  0010:"), std::string::npos) << o.out;
}

TEST_F(TlvCommandTest, MessageDecodesFieldsAndTheKnownPayload) {
  const Outcome o = Run("message -", kSaveMessage);
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_NE(o.out.find("messageType = 0xabba0001 (mfab::SaveRequest)\n"), std::string::npos);
  EXPECT_NE(o.out.find("metadata    = absent\n"), std::string::npos);
  EXPECT_NE(o.out.find("sessionId   = 4294967295 (0xffffffff)\n"), std::string::npos);
  EXPECT_NE(o.out.find("payload mfab::SaveRequest:\n"), std::string::npos);
  EXPECT_NE(o.out.find("  masterVersionsData (0x7b30) = [3] aabbcc\n"), std::string::npos);
  EXPECT_NE(o.out.find("  secondFileName (0x7b33) = \"n1\"\n"), std::string::npos) << o.out;
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
  const Outcome built =
      Run("build --module 5 --type 0xabba0002 --category 0 --payload 7b08000400000001"
          " --metadata 7b380039" +
          entry);
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const std::string block =
      "000600207bac00087bad000400000101"
      "7bae00107baf000c7bb0000161"
      "7bb10003010203";
  const std::string wire = built.out.substr(0, built.out.size() - 1) + block;
  const Outcome o = Run("message " + wire);
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_NE(o.out.find("metadata entries: 1\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("    text (0x6a07) = \"hi\"\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("    fwTime (0x6a09) = 100\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("stored data (0x0006): 32 bytes\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("  categories: 0x0101\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("  file \"a\": 3 bytes\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("payload mfab::SaveResponse:\n  result (0x7b08) = 1"), std::string::npos);
}

TEST_F(TlvCommandTest, BadBuffersExitOneWithTheDecoderText) {
  const Outcome missing = Run("message 000000040000000500010004abba0001");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("Requested TLV (0x0003) not found."), std::string::npos)
      << missing.err;

  const Outcome overlong = Run("dump 7b0100050102");
  EXPECT_EQ(overlong.exitCode, 1);
  EXPECT_NE(overlong.err.find("TLV item (0x7b01) declares 5 value bytes but only 2 remain."),
            std::string::npos)
      << overlong.err;

  const Outcome notHex = Run("dump 7g");
  EXPECT_EQ(notHex.exitCode, 1);

  const Outcome tooLong =
      Run("build --module 1 --type 1 --category 1 --payload -", std::string(2 * 32768, 'a'));
  EXPECT_EQ(tooLong.exitCode, 1);
  EXPECT_NE(tooLong.err.find("Error converting value 32768 to unsigned short (max value: 32767)."),
            std::string::npos);
}

TEST_F(TlvCommandTest, CommandLineErrorsExitTwo) {
  EXPECT_EQ(Run("").exitCode, 2);
  EXPECT_EQ(Run("frobnicate 00").exitCode, 2);
  EXPECT_EQ(Run("dump").exitCode, 2);
  EXPECT_EQ(Run("build --module 1 --type 1").exitCode, 2);
  EXPECT_EQ(Run("build --module 0x100000000 --type 1 --category 1").exitCode, 2);
  EXPECT_EQ(Run("message --as NoSuchClass 00").exitCode, 2);
}

}  // namespace
