// The registry's rules, checked against the SQLite store and the in-memory fake alike so the two
// cannot drift apart; then the SQLite store as a file shared by threads and processes.

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/posix/sqlite_registry.h"
#include "platform/registry.h"
#include "platform/registry_path.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/memory_registry.h"
#include "tests/platform/platform_test_support.h"

namespace {

using platform::RegistryErrc;
using platform::RegistryKey;
using platform::RegType;
using platform::RegValue;
using platform_test::ErrorOf;
using platform_test::HelperRole;
using platform_test::RunHelper;
using ::testing::ElementsAre;
using namespace std::chrono_literals;
namespace access = platform::reg_access;

const std::string kBase = "HKLM\\SOFTWARE\\Ostra\\Test";

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
  std::unique_ptr<RegistryKey> Create(const std::string& sub,
                                      platform::RegistryTransaction* tx = nullptr) {
    return target.CreateKey(kBase + sub, access::kAllAccess, tx);
  }
  std::unique_ptr<RegistryKey> Open(const std::string& sub,
                                    platform::RegistryTransaction* tx = nullptr) {
    return target.OpenKey(kBase + sub, access::kAllAccess, tx);
  }
  // The key's subkey names, or with values set its value names, in enumeration order.
  static std::vector<std::string> Names(RegistryKey& key, bool values = false) {
    std::vector<std::string> names;
    for (uint32_t i = 0; auto name = values ? key.EnumValue(i) : key.EnumKey(i); ++i) {
      names.push_back(*name);
    }
    return names;
  }

  platform_test::TempDir dir;
  std::unique_ptr<platform::Registry> registry = Store::Make(dir.path);
  platform::Registry& target = *registry;
};

using Stores = ::testing::Types<MemoryStore, SqliteStore>;
TYPED_TEST_SUITE(RegistrySemanticsTest, Stores);

TYPED_TEST(RegistrySemanticsTest, NamesFollowWindowsCaseRules) {
  auto& store = this->target;
  this->Create("\\Foo\\Bar");
  store.CreateKey("hkey_local_machine\\software\\OSTRA\\test\\FOO\\baz", access::kRead);
  auto foo = store.OpenKey("hklm\\SOFTWARE\\ostra\\TEST\\foo", access::kRead);
  ASSERT_NE(foo, nullptr);
  EXPECT_EQ(foo->Path(), kBase + "\\Foo");
  EXPECT_THAT(this->Names(*foo), ElementsAre("Bar", "baz"));

  auto key = this->Create("");
  key->SetValue("Level", RegValue::Dword(1));
  key->SetValue("LEVEL", RegValue::String("two"));
  EXPECT_THAT(this->Names(*key, true), ElementsAre("Level"));
  EXPECT_EQ(key->QueryValue("level")->AsString(), "two");
  EXPECT_TRUE(key->DeleteValue("lEvEl"));
  EXPECT_FALSE(key->DeleteValue("Level"));

  for (const char* name : {"gamma", "Beta", "alpha"}) {
    this->Create(std::string("\\") + name);
    key->SetValue(name, RegValue::Dword(0));
  }
  EXPECT_THAT(this->Names(*key), ElementsAre("alpha", "Beta", "Foo", "gamma"));
  EXPECT_THAT(this->Names(*key, true), ElementsAre("alpha", "Beta", "gamma"));
  // Indexes follow changes made since.
  this->Create("\\Aardvark");
  store.DeleteKey(kBase + "\\BETA");
  key->DeleteValue("alpha");
  EXPECT_THAT(this->Names(*key), ElementsAre("Aardvark", "alpha", "Foo", "gamma"));
  EXPECT_THAT(this->Names(*key, true), ElementsAre("Beta", "gamma"));

  // Hive roots always exist, under either name, and are separate trees.
  for (const char* root : {"HKLM", "HKU", "HKCU", "HKEY_CURRENT_USER", "hkey_users"}) {
    EXPECT_NE(store.OpenKey(root, access::kRead), nullptr) << root;
  }
  store.CreateKey("HKCU\\Software\\Only", access::kRead);
  EXPECT_EQ(store.OpenKey("HKLM\\Software\\Only", access::kRead), nullptr);
  EXPECT_EQ(store.OpenKey("HKU\\Software\\Only", access::kRead), nullptr);
  EXPECT_EQ(store.OpenKey("HKEY_CURRENT_USER\\SOFTWARE", access::kRead)->Path(), "HKCU\\Software");
}

TYPED_TEST(RegistrySemanticsTest, ValuesRoundTripWithTheirType) {
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
  // The empty string ends the list.
  EXPECT_THAT(reader->QueryValue("Multi")->AsMultiString(), ElementsAre("a"));
  EXPECT_REGISTRY_ERROR(reader->QueryValue("Sz")->AsDword(), kTypeMismatch);
  EXPECT_REGISTRY_ERROR(reader->QueryValue("Sz")->AsMultiString(), kTypeMismatch);
  EXPECT_REGISTRY_ERROR(reader->QueryValue("ShortDword")->AsDword(), kInvalidParameter);
  EXPECT_REGISTRY_ERROR(platform::ReadRegistryDword(this->target, kBase, "SZ"), kTypeMismatch);
}

TYPED_TEST(RegistrySemanticsTest, DeletesKeepTheTreeWhole) {
  auto& store = this->target;
  const std::string parent = kBase + "\\Parent";
  this->Create("\\Parent\\Child");
  EXPECT_REGISTRY_ERROR(store.DeleteKey(parent), kKeyHasChildren);
  store.DeleteKey(parent + "\\CHILD");
  store.DeleteKey(parent);
  EXPECT_REGISTRY_ERROR(store.DeleteKey(parent), kNotFound);
  EXPECT_REGISTRY_ERROR(store.DeleteTree(parent), kNotFound);
  EXPECT_REGISTRY_ERROR(store.DeleteKey("HKLM"), kAccessDenied);
  EXPECT_REGISTRY_ERROR(store.DeleteTree("HKEY_USERS"), kAccessDenied);

  auto deep = this->Create("\\Tree\\A\\B");
  auto top = this->Open("\\Tree");
  store.DeleteTree(kBase + "\\tree");
  EXPECT_EQ(this->Open("\\Tree"), nullptr);
  this->Create("\\Tree\\A\\B")->SetValue("v", RegValue::Dword(2));  // same names, new keys
  EXPECT_REGISTRY_ERROR(deep->QueryValue("v"), kKeyDeleted);
  EXPECT_REGISTRY_ERROR(deep->SetValue("v", RegValue::Dword(3)), kKeyDeleted);
  EXPECT_REGISTRY_ERROR(deep->DeleteValue("v"), kKeyDeleted);
  EXPECT_REGISTRY_ERROR(top->EnumKey(0), kKeyDeleted);
  EXPECT_REGISTRY_ERROR(deep->Flush(), kKeyDeleted);
  EXPECT_EQ(this->Open("\\Tree\\A\\B")->QueryValue("v")->AsDword(), 2u);
}

TYPED_TEST(RegistrySemanticsTest, HandlesAllowOnlyTheirAccessRights) {
  this->Create("")->SetValue("v", RegValue::Dword(1));
  auto reader = this->target.OpenKey(kBase, access::kRead | access::kWow64_32Key);
  EXPECT_REGISTRY_ERROR(reader->SetValue("v", RegValue::Dword(2)), kAccessDenied);
  EXPECT_REGISTRY_ERROR(reader->DeleteValue("v"), kAccessDenied);
  auto writer = this->target.CreateKey(kBase, access::kWrite);
  writer->SetValue("v", RegValue::Dword(2));
  EXPECT_REGISTRY_ERROR(writer->QueryValue("v"), kAccessDenied);
  EXPECT_REGISTRY_ERROR(writer->EnumKey(0), kAccessDenied);
  EXPECT_EQ(reader->QueryValue("v")->AsDword(), 2u);
}

TYPED_TEST(RegistrySemanticsTest, EnforcesTheStoresLimits) {
  auto& store = this->target;
  std::string tooDeep = "HKLM";
  for (size_t i = 0; i <= platform::kMaxKeyDepth; ++i) tooDeep += "\\k";
  for (const std::string& path :
       {std::string(""), std::string("HKLM\\\\Foo"), std::string("HKXX\\Foo"),
        "HKLM\\" + std::string(256, 'k'), std::string("HKLM\\a\0b", 8), tooDeep}) {
    SCOPED_TRACE(path.substr(0, 40));
    EXPECT_REGISTRY_ERROR(store.OpenKey(path, access::kRead), kInvalidParameter);
    EXPECT_REGISTRY_ERROR(store.CreateKey(path, access::kRead), kInvalidParameter);
    EXPECT_REGISTRY_ERROR(store.DeleteTree(path), kInvalidParameter);
  }
  auto key = store.CreateKey("HKLM\\" + std::string(255, 'k'), access::kAllAccess);
  key->SetValue(std::string(16383, 'v'), RegValue::Dword(1));
  EXPECT_REGISTRY_ERROR(key->SetValue(std::string(16384, 'v'), RegValue::Dword(1)),
                        kInvalidParameter);
  EXPECT_REGISTRY_ERROR(key->QueryValue(std::string("a\0b", 3)), kInvalidParameter);
  key->SetValue("max", RegValue::Binary(std::vector<uint8_t>(platform::kMaxValueDataSize)));
  const std::vector<uint8_t> big(platform::kMaxValueDataSize + 1);
  EXPECT_REGISTRY_ERROR(key->SetValue("big", RegValue::Binary(big)), kInvalidParameter);
}

TYPED_TEST(RegistrySemanticsTest, TransactionsAreAtomic) {
  this->Create("\\Old")->SetValue("Level", RegValue::Dword(1));
  auto tx = this->target.BeginTransaction();
  auto created = this->Create("\\New\\Sub", tx.get());
  created->SetValue("a", RegValue::String("x"));
  this->Open("\\Old", tx.get())->SetValue("LEVEL", RegValue::Dword(2));
  // Others still see the store as it was; the transaction sees its own changes.
  EXPECT_EQ(this->Open("\\New"), nullptr);
  EXPECT_EQ(this->Open("\\Old")->QueryValue("Level")->AsDword(), 1u);
  EXPECT_EQ(this->Open("\\old", tx.get())->QueryValue("level")->AsDword(), 2u);
  EXPECT_THAT(this->Names(*this->Open("", tx.get())), ElementsAre("New", "Old"));
  tx->Commit();
  EXPECT_EQ(this->Open("\\New\\Sub")->QueryValue("A")->AsString(), "x");
  EXPECT_THAT(this->Names(*this->Open("\\Old"), true), ElementsAre("Level"));
  EXPECT_EQ(this->Open("\\Old")->QueryValue("Level")->AsDword(), 2u);
  EXPECT_REGISTRY_ERROR(created->QueryValue("a"), kTransactionFailed);
  EXPECT_REGISTRY_ERROR(tx->Commit(), kTransactionFailed);

  tx = this->target.BeginTransaction();
  this->Create("\\Gone", tx.get());
  this->target.DeleteTree(kBase + "\\Old", tx.get());
  EXPECT_EQ(this->Open("\\Old", tx.get()), nullptr);
  tx->Rollback();
  EXPECT_REGISTRY_ERROR(this->Open("", tx.get()), kTransactionFailed);
  tx->Rollback();  // harmless twice
  std::unique_ptr<RegistryKey> orphan;
  {
    auto destroyed = this->target.BeginTransaction();
    orphan = this->Create("\\Gone", destroyed.get());
  }
  EXPECT_EQ(this->Open("\\Gone"), nullptr);
  EXPECT_EQ(this->Open("\\Old")->QueryValue("Level")->AsDword(), 2u);
  EXPECT_REGISTRY_ERROR(orphan->SetValue("x", RegValue::Dword(1)), kTransactionFailed);
}

TYPED_TEST(RegistrySemanticsTest, TransactedDeletesFollowTheRulesInTheTransactionsView) {
  auto& store = this->target;
  this->Create("\\A\\B");
  this->Create("\\C")->SetValue("v", RegValue::Dword(1));
  auto tx = store.BeginTransaction();
  auto c = this->Open("\\C", tx.get());
  EXPECT_REGISTRY_ERROR(store.DeleteKey(kBase + "\\A", tx.get()), kKeyHasChildren);
  store.DeleteKey(kBase + "\\A\\B", tx.get());
  store.DeleteKey(kBase + "\\A", tx.get());  // empty now, in the transaction's view
  store.DeleteKey(kBase + "\\C", tx.get());
  EXPECT_REGISTRY_ERROR(c->QueryValue("v"), kKeyDeleted);
  EXPECT_REGISTRY_ERROR(store.DeleteKey(kBase + "\\C", tx.get()), kNotFound);
  this->Create("\\C", tx.get())->SetValue("w", RegValue::Dword(2));  // a new key, no old values
  EXPECT_NE(this->Open("\\A\\B"), nullptr);
  tx->Commit();
  EXPECT_EQ(this->Open("\\A"), nullptr);
  EXPECT_THAT(this->Names(*this->Open("\\C"), true), ElementsAre("w"));
}

TYPED_TEST(RegistrySemanticsTest, ConflictingChangesFailTheWholeCommit) {
  auto& store = this->target;
  this->Create("\\C");
  // A change whose key went away outside the transaction fails the whole commit.
  auto tx = store.BeginTransaction();
  this->Create("\\Created", tx.get());
  this->Open("\\C", tx.get())->SetValue("v", RegValue::Dword(1));
  store.DeleteKey(kBase + "\\C");
  EXPECT_REGISTRY_ERROR(tx->Commit(), kTransactionFailed);
  EXPECT_EQ(this->Open("\\Created"), nullptr);
  // So does deleting a key that gained a subkey meanwhile.
  this->Create("\\Lonely");
  tx = store.BeginTransaction();
  store.DeleteKey(kBase + "\\Lonely", tx.get());
  this->Create("\\Lonely\\Newcomer");
  EXPECT_REGISTRY_ERROR(tx->Commit(), kTransactionFailed);
  EXPECT_NE(this->Open("\\Lonely\\Newcomer"), nullptr);

  keystone::testing::MemoryRegistry other;  // a transaction of another store is refused
  EXPECT_REGISTRY_ERROR(this->Create("", other.BeginTransaction().get()), kInvalidParameter);
}

// --- the SQLite store shared by processes ---------------------------------------------------

constexpr int kGenerationValues = 200;

// The helper processes' work; the argument is the database path.
// Rewrites every value of one key with the same generation number, one transaction each.
[[maybe_unused]] const bool kCommitterRole =
    HelperRole("committer", [](const std::string& db) -> int {
      auto registry = platform::OpenRegistry(db);
      for (uint32_t generation = 1;; ++generation) {
        auto tx = registry->BeginTransaction();
        auto key = registry->CreateKey("HKLM\\Generation", access::kAllAccess, tx.get());
        for (int i = 0; i < kGenerationValues; ++i) {
          key->SetValue("v" + std::to_string(i), RegValue::Dword(generation));
        }
        tx->Commit();
      }
    });

// Changes another process makes to HKLM\\Cached while this one has it in memory.
const char kCachedKey[] = "HKLM\\Cached\\Sub";
[[maybe_unused]] const bool kChangeValueRole =
    HelperRole("change-value", [](const std::string& db) -> int {
      platform::WriteRegistryValue(*platform::OpenRegistry(db), kCachedKey, "v",
                                   RegValue::Dword(2));
      return 0;
    });
[[maybe_unused]] const bool kRemoveValueRole =
    HelperRole("remove-value", [](const std::string& db) -> int {
      return platform::OpenRegistry(db)->OpenKey(kCachedKey, access::kAllAccess)->DeleteValue("v")
                 ? 0
                 : 31;
    });
[[maybe_unused]] const bool kRemoveKeyRole =
    HelperRole("remove-key", [](const std::string& db) -> int {
      platform::OpenRegistry(db)->DeleteTree("HKLM\\Cached");
      return 0;
    });
[[maybe_unused]] const bool kRecreateKeyRole =
    HelperRole("recreate-key", [](const std::string& db) -> int {
      auto registry = platform::OpenRegistry(db);
      registry->DeleteTree("HKLM\\Cached");
      platform::WriteRegistryValue(*registry, kCachedKey, "v", RegValue::Dword(3));
      return 0;
    });

// Root's store seen by an ordinary user: readable, never writable. Exits 0 when it saw that.
int ReadOnlyUser(const std::string& database) {
  auto registry = platform::OpenRegistry(database);
  auto key = registry->OpenKey("HKLM\\Mirror", access::kAllAccess);
  auto tx = registry->BeginTransaction();
  registry->OpenKey("HKLM\\Mirror", access::kAllAccess, tx.get())
      ->SetValue("v", RegValue::Dword(9));
  const bool refused =
      ErrorOf([&] { key->SetValue("v", RegValue::Dword(8)); }) == RegistryErrc::kAccessDenied &&
      ErrorOf([&] { registry->CreateKey("HKLM\\New", access::kRead); }) ==
          RegistryErrc::kAccessDenied &&
      ErrorOf([&] { tx->Commit(); }) == RegistryErrc::kTransactionFailed;
  return refused && key->QueryValue("v") == RegValue::Dword(7) ? 0 : 21;
}
[[maybe_unused]] const bool kReaderRole = HelperRole("reader", ReadOnlyUser);

class SqliteRegistryTest : public ::testing::Test {
 protected:
  std::string SqliteText(const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open(database.c_str(), &db);
    std::string result;
    sqlite3_exec(
        db, sql,
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) += values[0] ? values[0] : "";
          return 0;
        },
        &result, nullptr);
    sqlite3_close(db);
    return result;
  }

  platform_test::TempDir dir;
  const std::string database = dir.path + "/registry.db";
};

// A transaction writes nothing to the file before its commit, so a writer killed at any moment,
// during a commit included, must leave whole transactions only; and what another process wrote
// meanwhile must all be there.
TEST_F(SqliteRegistryTest, AWriterKilledAtAnyMomentLeavesWholeCommits) {
  auto registry = platform::OpenRegistry(database);
  auto shared = registry->CreateKey("HKLM\\Shared", access::kAllAccess);
  for (int attempt = 0; attempt < 4; ++attempt) {
    platform_test::Background child(
        "/proc/self/exe", {}, platform_test::HelperEnv("committer", database), dir.path + "/log");
    const uint32_t before =
        platform::ReadRegistryDword(*registry, "HKLM\\Generation", "v0").value_or(0);
    ASSERT_TRUE(keystone::testing::Eventually([&] {
      return platform::ReadRegistryDword(*registry, "HKLM\\Generation", "v0").value_or(0) != before;
    })) << "no commit";
    for (int i = 0; i < 50 + attempt * 7; ++i) {  // stops at a different moment each time
      const std::string name = std::to_string(attempt) + "_" + std::to_string(i);
      shared->SetValue(name, RegValue::Dword(static_cast<uint32_t>(i)));
      registry->CreateKey("HKLM\\Shared\\" + name, access::kRead);
    }
    EXPECT_EQ(child.Stop(SIGKILL), 128 + SIGKILL) << "the other writer gave up";

    auto key = platform::OpenRegistry(database)->OpenKey("HKLM\\Generation", access::kRead);
    const uint32_t generation = key->QueryValue("v0")->AsDword();
    for (int i = 0; i < kGenerationValues; ++i) {
      ASSERT_EQ(key->QueryValue("v" + std::to_string(i))->AsDword(), generation) << i;
    }
    EXPECT_EQ(key->EnumValue(kGenerationValues), std::nullopt);
    EXPECT_EQ(SqliteText("PRAGMA integrity_check"), "ok");
  }
  const uint32_t written = 4 * 50 + 7 * (0 + 1 + 2 + 3);
  EXPECT_TRUE(shared->EnumValue(written - 1) && !shared->EnumValue(written));
  EXPECT_TRUE(shared->EnumKey(written - 1) && !shared->EnumKey(written));
}

// A store that has read HKLM\\Cached\\Sub (v = 1) often enough to keep it in memory.
class SqliteRegistryCacheTest : public SqliteRegistryTest {
 protected:
  void SetUp() override {
    platform::WriteRegistryValue(*registry, kCachedKey, "v", RegValue::Dword(1));
    platform::WriteRegistryValue(*registry, kCachedKey, "w", RegValue::Dword(1));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ReadV(), 1u);
    key = registry->OpenKey(kCachedKey, access::kAllAccess);
    ASSERT_EQ(key->QueryValue("v"), RegValue::Dword(1));
  }
  std::optional<uint32_t> ReadV() {
    return platform::ReadRegistryDword(*registry, kCachedKey, "v");
  }

  std::unique_ptr<platform::Registry> registry = platform::OpenRegistry(database);
  std::unique_ptr<RegistryKey> key;
};

TEST_F(SqliteRegistryCacheTest, SeesAnotherProcesssNewValueOnTheNextRead) {
  ASSERT_EQ(RunHelper("change-value", database), 0);
  EXPECT_EQ(ReadV(), 2u);
  EXPECT_EQ(key->QueryValue("v"), RegValue::Dword(2)) << "through a handle opened before";
}

TEST_F(SqliteRegistryCacheTest, SeesAnotherProcesssValueRemovalOnTheNextRead) {
  ASSERT_EQ(RunHelper("remove-value", database), 0);
  EXPECT_EQ(ReadV(), std::nullopt);
  EXPECT_EQ(key->QueryValue("v"), std::nullopt);
  EXPECT_EQ(key->QueryValue("w"), RegValue::Dword(1));
}

TEST_F(SqliteRegistryCacheTest, SeesAnotherProcesssKeyRemovalOnTheNextRead) {
  ASSERT_EQ(RunHelper("remove-key", database), 0);
  EXPECT_EQ(registry->OpenKey(kCachedKey, access::kRead), nullptr);
  EXPECT_EQ(ReadV(), std::nullopt);
  EXPECT_REGISTRY_ERROR(key->QueryValue("w"), kKeyDeleted);
}

TEST_F(SqliteRegistryCacheTest, SeesAKeyAnotherProcessRecreatedUnderTheSameName) {
  ASSERT_EQ(RunHelper("recreate-key", database), 0);
  EXPECT_EQ(ReadV(), 3u);
  EXPECT_REGISTRY_ERROR(key->QueryValue("v"), kKeyDeleted) << "the old key is gone";
  EXPECT_EQ(registry->OpenKey(kCachedKey, access::kRead)->QueryValue("w"), std::nullopt);
}

TEST_F(SqliteRegistryCacheTest, SeesWritesOfAnotherStoreObjectInThisProcess) {
  auto other = platform::OpenRegistry(database);
  platform::WriteRegistryValue(*other, kCachedKey, "v", RegValue::Dword(5));
  EXPECT_EQ(ReadV(), 5u);
  other->OpenKey(kCachedKey, access::kAllAccess)->DeleteValue("v");
  EXPECT_EQ(ReadV(), std::nullopt);
}

TEST_F(SqliteRegistryTest, ReadsStayRightWhenTheCacheOverflows) {
  platform::SqliteRegistryOptions options;
  options.maxCachedLookups = 8;
  auto registry = platform::OpenSqliteRegistry(database, options);
  for (uint32_t i = 0; i < 40; ++i) {
    platform::WriteRegistryValue(*registry, "HKLM\\Many\\K" + std::to_string(i % 5),
                                 "v" + std::to_string(i), RegValue::Dword(i));
  }
  for (int round = 0; round < 2; ++round) {
    for (uint32_t i = 0; i < 40; ++i) {
      const std::string path = "HKLM\\Many\\K" + std::to_string(i % 5);
      ASSERT_EQ(platform::ReadRegistryDword(*registry, path, "v" + std::to_string(i)), i);
      ASSERT_EQ(platform::ReadRegistryDword(*registry, path, "x" + std::to_string(i)),
                std::nullopt);
    }
  }
}

TEST_F(SqliteRegistryTest, ReadersWithoutWritePermissionAreRefusedWrites) {
  const bool root = ::geteuid() == 0;
  {
    auto registry = platform::OpenRegistry(database);
    platform::WriteRegistryValue(*registry, "HKLM\\Mirror", "v", RegValue::Dword(7));
    if (root) {
      EXPECT_EQ(RunHelper("reader", database, 65534), 0) << "while a writer has it open";
    }
  }
  if (!root) ::chmod(database.c_str(), 0444);
  EXPECT_EQ(root ? RunHelper("reader", database, 65534) : ReadOnlyUser(database), 0)
      << "with no writer running";
}

TEST_F(SqliteRegistryTest, NewStoreGetsItsDirectoryWithModesForItsReaders) {
  const std::string nested = dir.path + "/state/keystone/registry.db";
  platform::WriteRegistryValue(*platform::OpenRegistry(nested), "HKLM\\Kept", "Blob",
                               RegValue::Binary({0, 1, 2}));
  auto mode = [](const std::string& path) { return std::filesystem::status(path).permissions(); };
  const bool root = ::geteuid() == 0;
  EXPECT_EQ(mode(dir.path + "/state/keystone"), std::filesystem::perms(root ? 0755 : 0700));
  EXPECT_EQ(mode(nested), std::filesystem::perms(root ? 0644 : 0600));
  EXPECT_EQ(mode(nested + "-wal"), std::filesystem::perms(root ? 0644 : 0600));
  auto key = platform::OpenRegistry(nested)->OpenKey("hklm\\kept", access::kRead);
  EXPECT_EQ(key->QueryValue("blob"), RegValue::Binary({0, 1, 2}));
}

TEST_F(SqliteRegistryTest, DamagedStoreFileIsRefused) {
  auto open = [&] { platform::OpenRegistry(database); };
  std::ofstream(database) << std::string(4096, 'x');
  EXPECT_EQ(ErrorOf(open), RegistryErrc::kIoFailed) << "a file of garbage";
  std::filesystem::remove(database);
  SqliteText("PRAGMA user_version = 7");
  EXPECT_THAT(open, ::testing::ThrowsMessage<platform::RegistryError>(
                        ::testing::HasSubstr("schema version 7")));
  EXPECT_EQ(ErrorOf(open), RegistryErrc::kIoFailed) << "an unknown schema";
  std::filesystem::remove(database);
  std::ofstream(database).close();  // an empty file is a new store
  EXPECT_NE(platform::OpenRegistry(database)->OpenKey("HKLM", access::kRead), nullptr);
}

TEST_F(SqliteRegistryTest, WriterGivesUpOnAHeldLockAfterTheBusyLimit) {
  auto registry = platform::OpenSqliteRegistry(database, {.busyLimit = 100ms});
  auto key = registry->CreateKey("HKLM\\Locked", access::kAllAccess);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(database.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_REGISTRY_ERROR(key->SetValue("v", RegValue::Dword(2)), kIoFailed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  sqlite3_close(other);  // which rolls its transaction back
  key->SetValue("v", RegValue::Dword(3));
}

TEST_F(SqliteRegistryTest, ThreadsWritingAtOnceLoseNothingEvenWithOneConnection) {
  for (const size_t connections : {size_t{1}, platform::SqliteRegistryOptions().maxConnections}) {
    platform::SqliteRegistryOptions options;
    options.maxConnections = connections;
    auto registry = platform::OpenSqliteRegistry(database, options);
    const std::string base = "HKLM\\Pool" + std::to_string(connections);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        const std::string path = base + "\\T" + std::to_string(t);
        auto shared = registry->CreateKey(base, access::kAllAccess);
        for (uint32_t i = 0; i < 30; ++i) {
          shared->SetValue(path + std::to_string(i), RegValue::Dword(i));
          auto tx = registry->BeginTransaction();
          registry->CreateKey(path, access::kAllAccess, tx.get())
              ->SetValue("v", RegValue::Dword(i));
          tx->Commit();
          EXPECT_EQ(platform::ReadRegistryDword(*registry, path, "v"), i);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    auto pool = registry->OpenKey(base, access::kRead);
    EXPECT_TRUE(pool->EnumValue(4 * 30 - 1) && !pool->EnumValue(4 * 30)) << connections;
  }
}

}  // namespace
