#include "smartcard/smart_card_policy.h"

#include <gtest/gtest.h>

#include "common/hex.h"
#include "platform/registry.h"
#include "smartcard/smart_card_user_store.h"
#include "tests/fakes/memory_registry.h"

namespace SmartCardFactor {
namespace {

using AuthenticateDataMirroring::NameValues;

TEST(SmartCardPolicyTest, ReadsOnlyListKeysNumberedZeroToFour) {
  const SmartCardPolicy policy = ParseSmartCardPolicy({
      {"CaCertificateThumbprint0", "aa"},
      {"CaCertificateThumbprint4", "bb"},
      {"CaCertificateThumbprint7", "cc"},
      {"CaCertificateThumbprint", "dd"},
      {"CaCertificateThumbprint10", "ee"},
      {"cacertificatethumbprint2", "ff"},
      {"OID1", "1.3.6.1.5.5.7.3.2"},
      {"OID5", "1.2.3"},
      {"OIDx", "1.2.4"},
  });
  EXPECT_EQ(policy.caThumbprints, (std::set<std::string>{"aa", "bb", "ff"}));
  EXPECT_EQ(policy.requiredOids, (std::set<std::string>{"1.3.6.1.5.5.7.3.2"}));
}

TEST(SmartCardPolicyTest, AllowsPinReplayOnlyForExactlyTrue) {
  const struct {
    const char* value;
    bool allowed;
  } cases[] = {{"true", true}, {"True", false}, {"TRUE", false}, {"1", false}, {"true ", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseSmartCardPolicy({{"AllowPinReplay", c.value}}).allowPinReplay, c.allowed);
  }
  EXPECT_FALSE(ParseSmartCardPolicy({}).allowPinReplay);
}

TEST(SmartCardPolicyTest, ReadsCrlCheckFrequencyAsDecimalMinutes) {
  const struct {
    const char* value;
    int32_t minutes;
  } cases[] = {{"60", 60},        {"0", 0},  {"2147483647", 2147483647},
               {"2147483648", 0}, {"-5", 0}, {"15min", 0},
               {"", 0},           {" 7", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseSmartCardPolicy({{"CrlCheckFrequency", c.value}}).crlCheckFrequency, c.minutes);
  }
  EXPECT_EQ(ParseSmartCardPolicy({}).crlCheckFrequency, 0);
}

TEST(SmartCardPolicyTest, KeepsTheFirstOfRepeatedKeys) {
  const SmartCardPolicy policy = ParseSmartCardPolicy({{"ReaderName", "Yubi"},
                                                       {"readername", "Other"},
                                                       {"AllowPinReplay", "true"},
                                                       {"ALLOWPINREPLAY", "false"}});
  EXPECT_EQ(policy.readerName, "Yubi");
  EXPECT_TRUE(policy.allowPinReplay);
  EXPECT_EQ(policy.Inputs().baseReaderName, "Yubi");
}

mfab::Bytes Text(const std::string& text) { return mfab::Bytes(text.begin(), text.end()); }

TEST(SmartCardUserStoreTest, HashesKnownVectors) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // 55, 56 and 64 bytes: the padding fits one block, just not, and takes a block of its own.
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(keystone::ToHex(Sha256(Text(cases[i].input))), cases[i].digest);
  }
}

TEST(SmartCardUserStoreTest, NamesTheUserKeyByTheSidsDigest) {
  EXPECT_EQ(UserKeyName("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(SmartCardUserStore::UserKeyPath("abc"),
            "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\\PhysicalSmartcard\\"
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(SmartCardUserStoreTest, KeepsValuesPerUser) {
  keystone::testing::MemoryRegistry registry;
  SmartCardUserStore store(registry);
  EXPECT_FALSE(store.ReadP7bBlob("S-1-5-21-1-2-3-1000"));
  EXPECT_FALSE(store.ReadCrlCheck("S-1-5-21-1-2-3-1000"));
  store.WriteP7bBlob("S-1-5-21-1-2-3-1000", {1, 2, 3});
  store.WriteCrlCheck("S-1-5-21-1-2-3-1000", 1700000000);
  EXPECT_EQ(store.ReadP7bBlob("S-1-5-21-1-2-3-1000"), (mfab::Bytes{1, 2, 3}));
  EXPECT_EQ(store.ReadCrlCheck("S-1-5-21-1-2-3-1000"), 1700000000u);
  EXPECT_FALSE(store.ReadP7bBlob("S-1-5-21-1-2-3-1001"));
  auto key = registry.OpenKey(SmartCardUserStore::UserKeyPath("S-1-5-21-1-2-3-1000"),
                              platform::reg_access::kRead);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->QueryValue(kP7bBlobValue)->type, platform::RegType::kBinary);
  EXPECT_EQ(key->QueryValue(kCrlCheckValue)->type, platform::RegType::kQword);
}

TEST(SmartCardUserStoreTest, IgnoresValuesThatDoNotFit) {
  keystone::testing::MemoryRegistry registry;
  SmartCardUserStore store(registry);
  const std::string key = SmartCardUserStore::UserKeyPath("S-1-5-21-1-2-3-1000");
  platform::WriteRegistryValue(registry, key, kP7bBlobValue, platform::RegValue::String("p7b"));
  platform::WriteRegistryValue(registry, key, kCrlCheckValue, platform::RegValue::Dword(5));
  EXPECT_FALSE(store.ReadP7bBlob("S-1-5-21-1-2-3-1000"));
  EXPECT_FALSE(store.ReadCrlCheck("S-1-5-21-1-2-3-1000"));
  platform::WriteRegistryValue(registry, key, kP7bBlobValue,
                               platform::RegValue::Binary(mfab::Bytes(kMaxStoredBundle + 1, 0x30)));
  EXPECT_FALSE(store.ReadP7bBlob("S-1-5-21-1-2-3-1000"));
}

}  // namespace
}  // namespace SmartCardFactor
