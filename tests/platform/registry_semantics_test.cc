// The registry's rules, checked against every store: the SQLite store the engine uses and the
// in-memory fake the other tests use, so the two cannot drift apart.

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/posix/sqlite_registry.h"
#include "platform/registry.h"
#include "platform/registry_path.h"
#include "tests/fakes/memory_registry.h"

namespace {

using platform::RegistryErrc;
using platform::RegistryError;
using platform::RegType;
using platform::RegValue;
namespace access = platform::reg_access;

constexpr const char* kBase = "HKLM\\SOFTWARE\\Ostra\\Test";

struct MemoryStore {
  static std::unique_ptr<platform::Registry> Make(const std::string&) {
    return std::make_unique<keystone::testing::MemoryRegistry>();
  }
};

struct SqliteStore {
  static std::unique_ptr<platform::Registry> Make(const std::string& dir) {
    return platform::OpenSqliteRegistry(dir + "/registry.db");
  }
};

template <typename Store>
class RegistrySemanticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/registry-semantics-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    registry = Store::Make(dir);
  }
  void TearDown() override {
    registry.reset();
    std::filesystem::remove_all(dir);
  }

  std::unique_ptr<platform::RegistryKey> Create(const std::string& sub,
                                                platform::RegistryTransaction* tx = nullptr) {
    return registry->CreateKey(std::string(kBase) + sub, access::kAllAccess, tx);
  }
  std::unique_ptr<platform::RegistryKey> Open(const std::string& sub,
                                              platform::RegistryTransaction* tx = nullptr) {
    return registry->OpenKey(std::string(kBase) + sub, access::kAllAccess, tx);
  }
  static std::vector<std::string> Subkeys(platform::RegistryKey& key) {
    std::vector<std::string> names;
    for (uint32_t i = 0; auto name = key.EnumKey(i); ++i) names.push_back(*name);
    return names;
  }
  static std::vector<std::string> Values(platform::RegistryKey& key) {
    std::vector<std::string> names;
    for (uint32_t i = 0; auto name = key.EnumValue(i); ++i) names.push_back(*name);
    return names;
  }

  std::string dir;
  std::unique_ptr<platform::Registry> registry;
};

using Stores = ::testing::Types<MemoryStore, SqliteStore>;
TYPED_TEST_SUITE(RegistrySemanticsTest, Stores);

template <typename F>
RegistryErrc ErrorOf(F&& call) {
  try {
    call();
  } catch (const RegistryError& e) {
    EXPECT_NE(std::string(e.what()), "");
    return static_cast<RegistryErrc>(e.code().value());
  }
  ADD_FAILURE() << "no RegistryError";
  return RegistryErrc::kIoFailed;
}

TYPED_TEST(RegistrySemanticsTest, KeysAreCaseInsensitiveAndKeepTheirFirstCase) {
  this->Create("\\Foo\\Bar");
  this->registry->CreateKey("hkey_local_machine\\software\\OSTRA\\test\\FOO\\baz", access::kRead);
  auto key = this->registry->OpenKey("hklm\\SOFTWARE\\ostra\\TEST\\foo", access::kRead);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Path(), "HKLM\\SOFTWARE\\Ostra\\Test\\Foo");
  EXPECT_THAT(this->Subkeys(*key), ::testing::ElementsAre("Bar", "baz"));
  EXPECT_THAT(this->Subkeys(*this->Open("")), ::testing::ElementsAre("Foo"));
}

TYPED_TEST(RegistrySemanticsTest, ValueNamesAreCaseInsensitiveAndKeepTheirFirstCase) {
  auto key = this->Create("");
  key->SetValue("Level", RegValue::Dword(1));
  key->SetValue("LEVEL", RegValue::String("two"));
  EXPECT_EQ(this->Values(*key), std::vector<std::string>{"Level"});
  EXPECT_EQ(key->QueryValue("level")->AsString(), "two");
  EXPECT_TRUE(key->DeleteValue("lEvEl"));
  EXPECT_FALSE(key->DeleteValue("Level"));
  EXPECT_EQ(key->QueryValue("Level"), std::nullopt);
}

TYPED_TEST(RegistrySemanticsTest, EveryTypeRoundTripsThroughAnotherHandle) {
  const std::vector<std::pair<std::string, RegValue>> values = {
      {"", RegValue::String("default")},
      {"Sz", RegValue::String("text with \\ and ü")},
      {"EmptySz", RegValue::String("")},
      {"Expand", RegValue::String("%HOME%/x", RegType::kExpandSz)},
      {"Multi", RegValue::MultiString({"a", "", "ccc"})},
      {"NoStrings", RegValue::MultiString({})},
      {"Dword", RegValue::Dword(0xDEADBEEF)},
      {"Qword", RegValue::Qword(0x0123456789ABCDEFull)},
      {"Binary", RegValue::Binary({0, 1, 0xFF, 0})},
      {"EmptyBinary", RegValue::Binary({})},
      {"None", RegValue{RegType::kNone, {9, 8, 7}}},
      {"OddType", RegValue{static_cast<RegType>(5), {1, 2, 3, 4}}},
      {"ShortDword", RegValue{RegType::kDword, {1, 2, 3}}},
  };
  auto writer = this->Create("");
  for (const auto& [name, value] : values) writer->SetValue(name, value);
  auto reader = this->Open("");
  for (const auto& [name, value] : values) EXPECT_EQ(reader->QueryValue(name), value) << name;
  EXPECT_EQ(reader->QueryValue("Multi")->AsMultiString(),
            (std::vector<std::string>{"a"}));  // the empty string ends the list
  EXPECT_EQ(reader->QueryValue("Qword")->AsQword(), 0x0123456789ABCDEFull);
  EXPECT_EQ(reader->QueryValue("Expand")->AsString(), "%HOME%/x");
}

TYPED_TEST(RegistrySemanticsTest, TypedReadersRefuseOtherTypesAndMalformedData) {
  auto key = this->Create("");
  key->SetValue("Text", RegValue::String("5"));
  key->SetValue("Short", RegValue{RegType::kDword, {1, 2, 3}});
  auto& store = *this->registry;
  EXPECT_EQ(ErrorOf([&] { key->QueryValue("Text")->AsDword(); }), RegistryErrc::kTypeMismatch);
  EXPECT_EQ(ErrorOf([&] { key->QueryValue("Text")->AsMultiString(); }),
            RegistryErrc::kTypeMismatch);
  EXPECT_EQ(ErrorOf([&] { key->QueryValue("Short")->AsDword(); }),
            RegistryErrc::kInvalidParameter);
  EXPECT_EQ(ErrorOf([&] { platform::ReadRegistryDword(store, kBase, "TEXT"); }),
            RegistryErrc::kTypeMismatch);
  EXPECT_EQ(platform::ReadRegistryString(store, kBase, "text"), "5");
  EXPECT_EQ(platform::ReadRegistryDword(store, kBase, "Missing"), std::nullopt);
  EXPECT_EQ(platform::ReadRegistryDword(store, std::string(kBase) + "\\Nope", "x"),
            std::nullopt);
  platform::WriteRegistryValue(store, std::string(kBase) + "\\New\\Deep", "N",
                               RegValue::Dword(3));
  EXPECT_EQ(platform::ReadRegistryDword(store, std::string(kBase) + "\\NEW\\deep", "n"), 3u);
}

TYPED_TEST(RegistrySemanticsTest, DeleteKeyRefusesKeysWithSubkeysAndHiveRoots) {
  this->Create("\\Parent\\Child")->SetValue("v", RegValue::Dword(1));
  auto& store = *this->registry;
  const std::string parent = std::string(kBase) + "\\Parent";
  EXPECT_EQ(ErrorOf([&] { store.DeleteKey(parent); }), RegistryErrc::kKeyHasChildren);
  store.DeleteKey(parent + "\\CHILD");
  EXPECT_EQ(this->Open("\\Parent\\Child"), nullptr);
  store.DeleteKey(parent);
  EXPECT_EQ(ErrorOf([&] { store.DeleteKey(parent); }), RegistryErrc::kNotFound);
  EXPECT_EQ(ErrorOf([&] { store.DeleteTree(parent); }), RegistryErrc::kNotFound);
  EXPECT_EQ(ErrorOf([&] { store.DeleteKey("HKLM"); }), RegistryErrc::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { store.DeleteTree("HKEY_USERS"); }), RegistryErrc::kAccessDenied);
}

TYPED_TEST(RegistrySemanticsTest, HandlesOnADeletedTreeReportItEvenAfterRecreation) {
  auto deep = this->Create("\\Tree\\A\\B");
  deep->SetValue("v", RegValue::Dword(1));
  auto top = this->Open("\\Tree");
  this->registry->DeleteTree(std::string(kBase) + "\\tree");
  EXPECT_EQ(this->Open("\\Tree"), nullptr);
  this->Create("\\Tree\\A\\B")->SetValue("v", RegValue::Dword(2));  // same names, new keys
  EXPECT_EQ(ErrorOf([&] { deep->QueryValue("v"); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(ErrorOf([&] { deep->SetValue("v", RegValue::Dword(3)); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(ErrorOf([&] { deep->DeleteValue("v"); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(ErrorOf([&] { deep->EnumValue(0); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(ErrorOf([&] { top->EnumKey(0); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(ErrorOf([&] { deep->Flush(); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(this->Open("\\Tree\\A\\B")->QueryValue("v")->AsDword(), 2u);
}

TYPED_TEST(RegistrySemanticsTest, EnumerationFollowsCaseInsensitiveOrderAcrossChanges) {
  auto key = this->Create("");
  for (const char* name : {"gamma", "Beta", "alpha"}) {
    this->Create(std::string("\\") + name);
    key->SetValue(name, RegValue::Dword(0));
  }
  EXPECT_THAT(this->Subkeys(*key), ::testing::ElementsAre("alpha", "Beta", "gamma"));
  EXPECT_THAT(this->Values(*key), ::testing::ElementsAre("alpha", "Beta", "gamma"));
  EXPECT_EQ(key->EnumKey(3), std::nullopt);
  this->Create("\\Aardvark");
  this->registry->DeleteKey(std::string(kBase) + "\\BETA");
  key->DeleteValue("alpha");
  EXPECT_EQ(key->EnumKey(0), "Aardvark");
  EXPECT_EQ(key->EnumKey(2), "gamma");
  EXPECT_EQ(key->EnumValue(0), "Beta");
  EXPECT_EQ(key->EnumValue(2), std::nullopt);
}

TYPED_TEST(RegistrySemanticsTest, HandlesAllowOnlyTheirAccessRights) {
  this->Create("")->SetValue("v", RegValue::Dword(1));
  auto reader = this->registry->OpenKey(kBase, access::kRead | access::kWow64_32Key);
  EXPECT_EQ(reader->QueryValue("v")->AsDword(), 1u);
  EXPECT_EQ(ErrorOf([&] { reader->SetValue("v", RegValue::Dword(2)); }),
            RegistryErrc::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { reader->DeleteValue("v"); }), RegistryErrc::kAccessDenied);
  auto writer = this->registry->CreateKey(kBase, access::kWrite);
  writer->SetValue("v", RegValue::Dword(2));
  EXPECT_EQ(ErrorOf([&] { writer->QueryValue("v"); }), RegistryErrc::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { writer->EnumKey(0); }), RegistryErrc::kAccessDenied);
  EXPECT_EQ(reader->QueryValue("v")->AsDword(), 2u);
}

TYPED_TEST(RegistrySemanticsTest, MalformedPathsAndNamesAreInvalidParameters) {
  auto& store = *this->registry;
  for (const std::string& path : std::vector<std::string>{"", "HKLM\\\\Foo", "\\HKLM\\Foo", "HKLM\\Foo\\", "HKXX\\Foo", "Foo",
                           "HKLM\\" + std::string(256, 'k'), std::string("HKLM\\a\0b", 8)}) {
    EXPECT_EQ(ErrorOf([&] { store.OpenKey(path, access::kRead); }),
              RegistryErrc::kInvalidParameter)
        << path;
    EXPECT_EQ(ErrorOf([&] { store.CreateKey(path, access::kRead); }),
              RegistryErrc::kInvalidParameter);
    EXPECT_EQ(ErrorOf([&] { store.DeleteTree(path); }), RegistryErrc::kInvalidParameter);
  }
  std::string deep = "HKLM";
  for (int i = 0; i < 513; ++i) deep += "\\k";
  EXPECT_EQ(ErrorOf([&] { store.CreateKey(deep, access::kRead); }),
            RegistryErrc::kInvalidParameter);
  auto key = store.CreateKey("HKLM\\" + std::string(255, 'k'), access::kAllAccess);
  key->SetValue(std::string(16383, 'v'), RegValue::Dword(1));
  EXPECT_EQ(ErrorOf([&] { key->SetValue(std::string(16384, 'v'), RegValue::Dword(1)); }),
            RegistryErrc::kInvalidParameter);
  EXPECT_EQ(ErrorOf([&] { key->QueryValue(std::string("a\0b", 3)); }),
            RegistryErrc::kInvalidParameter);
  EXPECT_EQ(ErrorOf([&] { key->SetValue("big", RegValue::Binary(std::vector<uint8_t>(
                                                   platform::kMaxValueDataSize + 1))); }),
            RegistryErrc::kInvalidParameter);
}

TYPED_TEST(RegistrySemanticsTest, HiveRootsAlwaysExistAndAreSeparate) {
  for (const char* root : {"HKLM", "HKU", "HKCU", "HKEY_CURRENT_USER", "hkey_users"}) {
    EXPECT_NE(this->registry->OpenKey(root, access::kRead), nullptr) << root;
  }
  this->registry->CreateKey("HKCU\\Software\\Only", access::kRead);
  EXPECT_EQ(this->registry->OpenKey("HKLM\\Software\\Only", access::kRead), nullptr);
  EXPECT_EQ(this->registry->OpenKey("HKU\\Software\\Only", access::kRead), nullptr);
  EXPECT_EQ(this->registry->OpenKey("HKEY_CURRENT_USER\\SOFTWARE", access::kRead)->Path(),
            "HKCU\\Software");
}

TYPED_TEST(RegistrySemanticsTest, TransactionChangesAppearTogetherAtCommit) {
  this->Create("\\Old")->SetValue("Level", RegValue::Dword(1));
  auto tx = this->registry->BeginTransaction();
  auto created = this->Create("\\New\\Sub", tx.get());
  created->SetValue("a", RegValue::String("x"));
  this->Open("\\Old", tx.get())->SetValue("LEVEL", RegValue::Dword(2));
  // Others still see the store as it was; the transaction sees its own changes.
  EXPECT_EQ(this->Open("\\New"), nullptr);
  EXPECT_EQ(this->Open("\\Old")->QueryValue("Level")->AsDword(), 1u);
  EXPECT_EQ(this->Open("\\old", tx.get())->QueryValue("level")->AsDword(), 2u);
  EXPECT_THAT(this->Subkeys(*this->Open("", tx.get())), ::testing::ElementsAre("New", "Old"));
  EXPECT_EQ(created->Path(), std::string(kBase) + "\\New\\Sub");
  tx->Commit();
  EXPECT_EQ(this->Open("\\New\\Sub")->QueryValue("A")->AsString(), "x");
  auto old = this->Open("\\Old");
  EXPECT_EQ(old->QueryValue("Level")->AsDword(), 2u);
  EXPECT_EQ(this->Values(*old), std::vector<std::string>{"Level"});
  EXPECT_EQ(ErrorOf([&] { created->QueryValue("a"); }), RegistryErrc::kTransactionFailed);
  EXPECT_EQ(ErrorOf([&] { tx->Commit(); }), RegistryErrc::kTransactionFailed);
}

TYPED_TEST(RegistrySemanticsTest, RolledBackOrDestroyedTransactionsLeaveNoTrace) {
  this->Create("\\Keep")->SetValue("v", RegValue::Dword(1));
  {
    auto tx = this->registry->BeginTransaction();
    this->Create("\\Gone", tx.get());
    this->registry->DeleteTree(std::string(kBase) + "\\Keep", tx.get());
    EXPECT_EQ(this->Open("\\Keep", tx.get()), nullptr);
    tx->Rollback();
    EXPECT_EQ(ErrorOf([&] { this->Open("", tx.get()); }), RegistryErrc::kTransactionFailed);
    tx->Rollback();  // harmless twice
  }
  std::unique_ptr<platform::RegistryKey> orphan;
  {
    auto tx = this->registry->BeginTransaction();
    orphan = this->Create("\\Gone", tx.get());
    orphan->DeleteValue("x");
  }
  EXPECT_EQ(this->Open("\\Gone"), nullptr);
  EXPECT_EQ(this->Open("\\Keep")->QueryValue("v")->AsDword(), 1u);
  EXPECT_EQ(ErrorOf([&] { orphan->SetValue("x", RegValue::Dword(1)); }),
            RegistryErrc::kTransactionFailed);
}

TYPED_TEST(RegistrySemanticsTest, TransactedDeletesFollowTheSameRules) {
  this->Create("\\A\\B");
  this->Create("\\C")->SetValue("v", RegValue::Dword(1));
  auto tx = this->registry->BeginTransaction();
  const std::string base = kBase;
  auto c = this->Open("\\C", tx.get());
  EXPECT_EQ(ErrorOf([&] { this->registry->DeleteKey(base + "\\A", tx.get()); }),
            RegistryErrc::kKeyHasChildren);
  this->registry->DeleteKey(base + "\\A\\B", tx.get());
  this->registry->DeleteKey(base + "\\A", tx.get());  // empty now, in the transaction's view
  this->registry->DeleteKey(base + "\\C", tx.get());
  EXPECT_EQ(ErrorOf([&] { c->QueryValue("v"); }), RegistryErrc::kKeyDeleted);
  EXPECT_EQ(ErrorOf([&] { this->registry->DeleteKey(base + "\\C", tx.get()); }),
            RegistryErrc::kNotFound);
  this->Create("\\C", tx.get())->SetValue("w", RegValue::Dword(2));  // a new key, no old values
  EXPECT_NE(this->Open("\\A\\B"), nullptr);
  tx->Commit();
  EXPECT_EQ(this->Open("\\A"), nullptr);
  auto fresh = this->Open("\\C");
  EXPECT_EQ(this->Values(*fresh), std::vector<std::string>{"w"});
}

TYPED_TEST(RegistrySemanticsTest, CommitFailsWholeWhenAChangeLostItsKey) {
  this->Create("\\Target");
  auto tx = this->registry->BeginTransaction();
  this->Create("\\Created", tx.get());
  this->Open("\\Target", tx.get())->SetValue("v", RegValue::Dword(1));
  this->registry->DeleteKey(std::string(kBase) + "\\Target");  // outside the transaction
  EXPECT_EQ(ErrorOf([&] { tx->Commit(); }), RegistryErrc::kTransactionFailed);
  EXPECT_EQ(this->Open("\\Created"), nullptr);

  this->Create("\\Lonely");
  auto tx2 = this->registry->BeginTransaction();
  this->registry->DeleteKey(std::string(kBase) + "\\Lonely", tx2.get());
  this->Create("\\Lonely\\Newcomer");
  EXPECT_EQ(ErrorOf([&] { tx2->Commit(); }), RegistryErrc::kTransactionFailed);
  EXPECT_NE(this->Open("\\Lonely\\Newcomer"), nullptr);
}

TYPED_TEST(RegistrySemanticsTest, TransactionsBelongToTheirOwnStore) {
  keystone::testing::MemoryRegistry other;
  auto foreign = other.BeginTransaction();
  EXPECT_EQ(ErrorOf([&] { this->Create("", foreign.get()); }), RegistryErrc::kInvalidParameter);
}

TYPED_TEST(RegistrySemanticsTest, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto shared = this->Create("");
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        shared->SetValue(name, RegValue::Dword(static_cast<uint32_t>(i)));
        this->Create("\\" + name);
        EXPECT_EQ(this->Open("")->QueryValue(name)->AsDword(), static_cast<uint32_t>(i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  auto key = this->Open("");
  EXPECT_EQ(this->Values(*key).size(), size_t{kThreads * kWrites});
  EXPECT_EQ(this->Subkeys(*key).size(), size_t{kThreads * kWrites});
}

// The fake's own controls, which other components' tests use to reach their error paths.
TEST(MemoryRegistryTest, ReadOnlyFailureAndFlushControlsApplyToEveryHandle) {
  keystone::testing::MemoryRegistry registry;
  auto key = registry.CreateKey(kBase, access::kAllAccess);
  key->SetValue("v", RegValue::Dword(1));
  key->Flush();
  key->Flush();
  EXPECT_EQ(registry.FlushCount(), 2u);
  registry.SetReadOnly(true);
  EXPECT_EQ(ErrorOf([&] { key->SetValue("v", RegValue::Dword(2)); }), RegistryErrc::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { registry.CreateKey("HKLM\\New", access::kRead); }),
            RegistryErrc::kAccessDenied);
  EXPECT_EQ(key->QueryValue("v")->AsDword(), 1u);
  registry.SetReadOnly(false);
  registry.SetFailure(RegistryErrc::kIoFailed);
  EXPECT_EQ(ErrorOf([&] { registry.OpenKey(kBase, access::kRead); }), RegistryErrc::kIoFailed);
  EXPECT_EQ(ErrorOf([&] { key->QueryValue("v"); }), RegistryErrc::kIoFailed);
  registry.SetFailure(std::nullopt);
  EXPECT_EQ(key->QueryValue("v")->AsDword(), 1u);
}

}  // namespace
