// The SQLite store as a file shared by processes: concurrent writers, writers killed at any
// moment, readers without write permission, damaged files, a write lock held too long.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/sqlite_registry.h"
#include "platform/registry.h"

extern char** environ;

namespace {

using platform::RegistryErrc;
using platform::RegistryError;
using platform::RegValue;
namespace access = platform::reg_access;

constexpr const char* kRoleVariable = "KEYSTONE_REGISTRY_TEST_ROLE";
constexpr const char* kDatabaseVariable = "KEYSTONE_REGISTRY_TEST_DB";
constexpr uid_t kNobody = 65534;
constexpr int kGenerationValues = 200;

RegistryErrc CodeOf(const RegistryError& e) { return static_cast<RegistryErrc>(e.code().value()); }

void Signal(char c) {
  if (::write(3, &c, 1) != 1) std::_Exit(90);
}

// The helper processes' work. Each returns its exit code.
int RunRole(const std::string& role, const std::string& database) {
  if (role.rfind("writer:", 0) == 0) {
    const std::string prefix = role.substr(7);
    auto registry = platform::OpenRegistry(database);
    auto shared = registry->CreateKey("HKLM\\Shared", access::kAllAccess);
    for (int i = 0; i < 300; ++i) {
      shared->SetValue(prefix + std::to_string(i), RegValue::Dword(static_cast<uint32_t>(i)));
      registry->CreateKey("HKLM\\Shared\\" + prefix + std::to_string(i), access::kRead);
    }
    return 0;
  }
  if (role == "committer") {
    // Rewrites every value of one key with the same generation number, one transaction each.
    auto registry = platform::OpenRegistry(database);
    for (uint32_t generation = 1;; ++generation) {
      auto tx = registry->BeginTransaction();
      auto key = registry->CreateKey("HKLM\\Generation", access::kAllAccess, tx.get());
      for (int i = 0; i < kGenerationValues; ++i) {
        key->SetValue("v" + std::to_string(i), RegValue::Dword(generation));
      }
      tx->Commit();
      Signal('c');
    }
  }
  if (role == "open-transaction") {
    auto registry = platform::OpenRegistry(database);
    auto tx = registry->BeginTransaction();
    registry->CreateKey("HKLM\\Uncommitted", access::kAllAccess, tx.get())
        ->SetValue("v", RegValue::Dword(1));
    registry->OpenKey("HKLM\\Base", access::kAllAccess, tx.get())
        ->SetValue("v", RegValue::Dword(2));
    Signal('r');
    while (true) ::pause();
  }
  if (role == "reader") {
    // Root's store seen by an ordinary user: readable, never writable.
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) return 20;
    auto registry = platform::OpenRegistry(database);
    if (platform::ReadRegistryDword(*registry, "HKLM\\Mirror", "v") != 7u) return 21;
    auto expectDenied = [](auto&& call, RegistryErrc expected) {
      try {
        call();
      } catch (const RegistryError& e) {
        return CodeOf(e) == expected;
      }
      return false;
    };
    auto key = registry->OpenKey("HKLM\\Mirror", access::kAllAccess);
    if (!expectDenied([&] { key->SetValue("v", RegValue::Dword(8)); },
                      RegistryErrc::kAccessDenied)) {
      return 22;
    }
    if (!expectDenied([&] { registry->CreateKey("HKLM\\New", access::kRead); },
                      RegistryErrc::kAccessDenied)) {
      return 23;
    }
    auto tx = registry->BeginTransaction();
    registry->OpenKey("HKLM\\Mirror", access::kAllAccess, tx.get())->SetValue("v", RegValue::Dword(9));
    if (!expectDenied([&] { tx->Commit(); }, RegistryErrc::kTransactionFailed)) return 24;
    return platform::ReadRegistryDword(*registry, "HKLM\\Mirror", "v") == 7u ? 0 : 25;
  }
  return 99;
}

// Started as a helper process, the test binary does the helper's work before any test runs.
[[maybe_unused]] const bool kRanAsHelper = [] {
  const char* role = std::getenv(kRoleVariable);
  if (!role) return false;
  int code = 98;
  try {
    code = RunRole(role, std::getenv(kDatabaseVariable));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "helper %s: %s\n", role, e.what());
  }
  std::_Exit(code);
}();

struct Helper {
  pid_t pid = -1;
  int signals = -1;  // read end of the helper's fd 3

  // Waits for one signal byte; false when none came within the limit.
  bool Await(std::chrono::milliseconds limit) {
    pollfd fd{signals, POLLIN, 0};
    char c;
    return ::poll(&fd, 1, static_cast<int>(limit.count())) == 1 && ::read(signals, &c, 1) == 1;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(signals);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int Kill() {
    ::kill(pid, SIGKILL);
    return Wait();
  }
};

Helper Spawn(const std::string& role, const std::string& database) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back(std::string(kRoleVariable) + "=" + role);
  env.push_back(std::string(kDatabaseVariable) + "=" + database);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  Helper helper;
  helper.signals = fds[0];
  EXPECT_EQ(posix_spawn(&helper.pid, self, &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  return helper;
}

class SqliteRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/registry-sqlite-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    ::chmod(dir.c_str(), 0755);  // the read-only helper runs as another user
    database = dir + "/registry.db";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

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

  std::string dir;
  std::string database;
};

TEST_F(SqliteRegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  auto registry = platform::OpenRegistry(database);
  Helper child = Spawn("writer:child", database);
  auto shared = registry->CreateKey("HKLM\\Shared", access::kAllAccess);
  for (int i = 0; i < 300; ++i) {
    shared->SetValue("parent" + std::to_string(i), RegValue::Dword(static_cast<uint32_t>(i)));
    registry->CreateKey("HKLM\\Shared\\parent" + std::to_string(i), access::kRead);
  }
  ASSERT_EQ(child.Wait(), 0);
  int values = 0;
  int keys = 0;
  while (shared->EnumValue(static_cast<uint32_t>(values))) ++values;
  while (shared->EnumKey(static_cast<uint32_t>(keys))) ++keys;
  EXPECT_EQ(values, 600);
  EXPECT_EQ(keys, 600);
  EXPECT_EQ(shared->QueryValue("child299")->AsDword(), 299u);
}

TEST_F(SqliteRegistryTest, WriterKilledWhileCommittingLeavesWholeTransactionsOnly) {
  platform::OpenRegistry(database);
  for (int attempt = 0; attempt < 4; ++attempt) {
    Helper child = Spawn("committer", database);
    ASSERT_TRUE(child.Await(std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(attempt * 7));
    child.Kill();

    auto registry = platform::OpenRegistry(database);
    auto key = registry->OpenKey("HKLM\\Generation", access::kRead);
    ASSERT_NE(key, nullptr);
    const uint32_t generation = key->QueryValue("v0")->AsDword();
    for (int i = 0; i < kGenerationValues; ++i) {
      ASSERT_EQ(key->QueryValue("v" + std::to_string(i))->AsDword(), generation) << i;
    }
    EXPECT_EQ(key->EnumValue(kGenerationValues), std::nullopt);
    EXPECT_EQ(SqliteText("PRAGMA integrity_check"), "ok");
  }
}

TEST_F(SqliteRegistryTest, WriterKilledInsideATransactionLeavesNoTrace) {
  platform::WriteRegistryValue(*platform::OpenRegistry(database), "HKLM\\Base", "v",
                               RegValue::Dword(1));
  Helper child = Spawn("open-transaction", database);
  ASSERT_TRUE(child.Await(std::chrono::seconds(20)));
  child.Kill();
  auto registry = platform::OpenRegistry(database);
  EXPECT_EQ(registry->OpenKey("HKLM\\Uncommitted", access::kRead), nullptr);
  EXPECT_EQ(platform::ReadRegistryDword(*registry, "HKLM\\Base", "v"), 1u);
}

TEST_F(SqliteRegistryTest, ReadersWithoutWritePermissionReadAndAreRefusedWrites) {
  {
    auto registry = platform::OpenRegistry(database);
    platform::WriteRegistryValue(*registry, "HKLM\\Mirror", "v", RegValue::Dword(7));
    if (::geteuid() == 0) {
      EXPECT_EQ(Spawn("reader", database).Wait(), 0) << "while the writer has the store open";
    }
  }
  if (::geteuid() == 0) {
    EXPECT_EQ(Spawn("reader", database).Wait(), 0) << "with no writer running";
  } else {
    ::chmod(database.c_str(), 0444);
    EXPECT_EQ(RunRole("reader", database), 0);
  }
}

TEST_F(SqliteRegistryTest, NewStoreGetsItsDirectoryAndModesAndKeepsData) {
  const std::string nested = dir + "/state/keystone/registry.db";
  {
    auto registry = platform::OpenRegistry(nested);
    auto key = registry->CreateKey("HKLM\\SOFTWARE\\Kept", access::kAllAccess);
    key->SetValue("Multi", RegValue::MultiString({"a", "b"}));
    key->SetValue("Blob", RegValue::Binary({0, 1, 2}));
    key->Flush();
  }
  struct stat st {};
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::stat((dir + "/state/keystone").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, root ? 0755u : 0700u);
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, root ? 0644u : 0600u);
  ASSERT_EQ(::stat((nested + "-wal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, root ? 0644u : 0600u);

  auto reopened = platform::OpenRegistry(nested);
  auto key = reopened->OpenKey("hklm\\software\\kept", access::kRead);
  EXPECT_EQ(key->QueryValue("multi")->AsMultiString(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(key->QueryValue("blob"), RegValue::Binary({0, 1, 2}));
}

TEST_F(SqliteRegistryTest, DamagedOrForeignFilesAreRefusedAtOpen) {
  std::ofstream(database) << std::string(4096, 'x');
  try {
    platform::OpenRegistry(database);
    FAIL() << "opened a file of garbage";
  } catch (const RegistryError& e) {
    EXPECT_EQ(CodeOf(e), RegistryErrc::kIoFailed);
  }
  std::filesystem::remove(database);
  SqliteText("PRAGMA user_version = 7");
  try {
    platform::OpenRegistry(database);
    FAIL() << "opened a database of an unknown schema";
  } catch (const RegistryError& e) {
    EXPECT_EQ(CodeOf(e), RegistryErrc::kIoFailed);
    EXPECT_NE(std::string(e.what()).find("schema version 7"), std::string::npos) << e.what();
  }
  std::filesystem::remove(database);
  std::ofstream(database).close();  // an empty file is a new store
  EXPECT_NE(platform::OpenRegistry(database)->OpenKey("HKLM", access::kRead), nullptr);
}

TEST_F(SqliteRegistryTest, WriterGivesUpOnAHeldLockAfterTheBusyLimit) {
  platform::SqliteRegistryOptions options;
  options.busyLimit = std::chrono::milliseconds(100);
  auto registry = platform::OpenSqliteRegistry(database, options);
  auto key = registry->CreateKey("HKLM\\Locked", access::kAllAccess);
  key->SetValue("v", RegValue::Dword(1));

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(database.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  try {
    key->SetValue("v", RegValue::Dword(2));
    ADD_FAILURE() << "wrote through a held write lock";
  } catch (const RegistryError& e) {
    EXPECT_EQ(CodeOf(e), RegistryErrc::kIoFailed);
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_EQ(key->QueryValue("v")->AsDword(), 1u);  // readers do not wait for writers
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  key->SetValue("v", RegValue::Dword(3));
  EXPECT_EQ(key->QueryValue("v")->AsDword(), 3u);
}

TEST_F(SqliteRegistryTest, ThreadsShareALimitedPoolOfConnections) {
  platform::SqliteRegistryOptions options;
  options.maxConnections = 1;
  auto registry = platform::OpenSqliteRegistry(database, options);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      const std::string path = "HKLM\\Pool\\T" + std::to_string(t);
      for (uint32_t i = 0; i < 30; ++i) {
        auto tx = registry->BeginTransaction();
        registry->CreateKey(path, access::kAllAccess, tx.get())->SetValue("v", RegValue::Dword(i));
        tx->Commit();
        EXPECT_EQ(platform::ReadRegistryDword(*registry, path, "v"), i);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
