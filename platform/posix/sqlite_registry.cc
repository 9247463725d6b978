#include "platform/posix/sqlite_registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "platform/paths.h"
#include "platform/posix/unique_fd.h"
#include "platform/registry_tree.h"

namespace platform {
namespace {

using keystone::Mutex;
using keystone::MutexLock;
using regtree::ChildKey;
using regtree::NamedValue;
using regtree::NodeId;

constexpr int kSchemaVersion = 1;

// Mode of what the store creates: root's store is read by other programs (the mirror), a user's
// own store is private. The directory is the state directory, whatever else it holds.
mode_t DirectoryMode() { return static_cast<mode_t>(StateDirectoryMode()); }
mode_t FileMode() { return ::geteuid() == 0 ? 0644 : 0600; }

// Another connection holds the lock we need; the whole batch is retried.
struct Busy {};

enum Statement : size_t {
  kBegin,
  kBeginImmediate,
  kCommit,
  kRollback,
  kExists,
  kFindChild,
  kChildren,
  kChildAt,
  kHasChildren,
  kFindValue,
  kValueNames,
  kValueAt,
  kInsertKey,
  kPutValue,
  kRemoveValue,
  kRemoveTreeValues,
  kRemoveTreeKeys,
  kDataVersion,
  kStatementCount
};

constexpr std::array<const char*, kStatementCount> kStatementSql = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT id, name FROM keys WHERE parent = ?1 AND folded = ?2",
    "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY folded",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2",
    "SELECT name FROM vals WHERE key = ?1 ORDER BY folded",
    "SELECT name FROM vals WHERE key = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)",
    "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub "
    "ON keys.parent = sub.id) DELETE FROM vals WHERE key IN (SELECT id FROM sub)",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub "
    "ON keys.parent = sub.id) DELETE FROM keys WHERE id IN (SELECT id FROM sub)",
    "PRAGMA data_version",
};

constexpr const char* kCreateSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER, name TEXT NOT NULL,"
    " folded TEXT NOT NULL, UNIQUE(parent, folded));"
    "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID;"
    "INSERT INTO keys(id, parent, name, folded) VALUES(1, NULL, 'HKLM', 'hklm'),"
    " (2, NULL, 'HKU', 'hku'), (3, NULL, 'HKCU', 'hkcu');"
    "PRAGMA user_version = 1;";

bool IsBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// One SQLite connection with its prepared statements. Used by one thread at a time.
class Connection {
 public:
  Connection(const std::string& databasePath, const SqliteRegistryOptions& options)
      : path(databasePath) {
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close_v2(db);
      db = nullptr;
      RegistryErrc code = (rc & 0xff) == SQLITE_CANTOPEN && ::access(path.c_str(), F_OK) != 0 &&
                                  errno == EACCES
                              ? RegistryErrc::kAccessDenied
                              : RegistryErrc::kIoFailed;
      throw RegistryError(code, "cannot open registry store '" + path + "': " + message);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, static_cast<int>(options.busyLimit.count()));
    // Keep the -wal and -shm files when the last connection closes, so that a process that
    // may only read the store can still open it while no writer is running.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    readOnly = sqlite3_db_readonly(db, "main") == 1;
    try {
      // Committed changes survive a crash of the process at once and a power loss after Flush.
      Execute("PRAGMA synchronous = NORMAL");
    } catch (...) {
      sqlite3_close_v2(db);
      throw;
    }
  }

  ~Connection() {
    for (sqlite3_stmt* statement : statements) sqlite3_finalize(statement);
    sqlite3_close_v2(db);
  }

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ReadOnly() const { return readOnly; }
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db); }
  int64_t Changes() const { return sqlite3_changes64(db); }
  const std::string& Path() const { return path; }

  // Whether the connection is back outside any transaction and may be reused.
  bool Idle() const { return sqlite3_get_autocommit(db) != 0; }

  sqlite3_stmt* Prepared(Statement id) {
    sqlite3_stmt*& statement = statements[id];
    if (!statement) {
      Check(sqlite3_prepare_v3(db, kStatementSql[id], -1, SQLITE_PREPARE_PERSISTENT, &statement,
                               nullptr));
    }
    return statement;
  }

  // Runs SQL that needs no parameters, such as the schema or a pragma.
  void Execute(const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

  int64_t PragmaInt(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    Check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr));
    int rc = sqlite3_step(statement);
    int64_t value = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Check(rc);
    return value;
  }

  // Turns a failing result code into Busy (to retry) or a RegistryError.
  void Check(int rc) {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
    if (IsBusy(rc)) throw Busy{};
    std::string message = sqlite3_errmsg(db);
    switch (rc & 0xff) {
      case SQLITE_READONLY:
      case SQLITE_PERM:
      case SQLITE_AUTH:
        throw RegistryError(RegistryErrc::kAccessDenied,
                            "registry store '" + path + "' is read-only: " + message);
      case SQLITE_NOTADB:
      case SQLITE_CORRUPT:
        throw RegistryError(RegistryErrc::kIoFailed,
                            "'" + path + "' is not a usable registry store: " + message);
      default:
        throw RegistryError(RegistryErrc::kIoFailed,
                            "registry store '" + path + "' failed: " + message);
    }
  }

 private:
  std::string path;
  sqlite3* db = nullptr;
  bool readOnly = false;
  std::array<sqlite3_stmt*, kStatementCount> statements{};
};

// One execution of a prepared statement; resets it when done.
class Query {
 public:
  Query(Connection& c, Statement id) : connection(c), statement(c.Prepared(id)) {}
  ~Query() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, int64_t value) {
    connection.Check(sqlite3_bind_int64(statement, index, value));
    return *this;
  }
  Query& Bind(int index, std::string_view text) {
    // A null pointer would bind NULL; the empty name is an empty text.
    connection.Check(sqlite3_bind_text(statement, index, text.empty() ? "" : text.data(),
                                       static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Query& Bind(int index, const std::vector<uint8_t>& bytes) {
    static const uint8_t kEmpty = 0;
    connection.Check(sqlite3_bind_blob(statement, index, bytes.empty() ? &kEmpty : bytes.data(),
                                       static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
    return *this;
  }

  // True with a row to read, false when done.
  bool Step() {
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    connection.Check(rc);
    return false;
  }
  // Runs a statement that returns no rows.
  void Run() {
    while (Step()) {
    }
  }

  int64_t Int(int column) { return sqlite3_column_int64(statement, column); }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (!text) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(statement, column)));
  }
  std::vector<uint8_t> Blob(int column) {
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
    size_t size = static_cast<size_t>(sqlite3_column_bytes(statement, column));
    if (!bytes) return {};
    return std::vector<uint8_t>(bytes, bytes + size);
  }

 private:
  Connection& connection;
  sqlite3_stmt* statement;
};

class ConnectionAccess final : public regtree::NodeWriter {
 public:
  explicit ConnectionAccess(Connection& c) : connection(c) {}

  bool Exists(NodeId id) override { return Query(connection, kExists).Bind(1, id).Step(); }

  std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) override {
    Query query(connection, kFindChild);
    query.Bind(1, parent).Bind(2, folded);
    if (!query.Step()) return std::nullopt;
    return ChildKey{query.Int(0), query.Text(1)};
  }

  std::vector<ChildKey> Children(NodeId parent) override {
    Query query(connection, kChildren);
    query.Bind(1, parent);
    std::vector<ChildKey> children;
    while (query.Step()) children.push_back({query.Int(0), query.Text(1)});
    return children;
  }

  std::optional<std::string> ChildNameAt(NodeId parent, uint32_t index) override {
    Query query(connection, kChildAt);
    query.Bind(1, parent).Bind(2, static_cast<int64_t>(index));
    if (!query.Step()) return std::nullopt;
    return query.Text(0);
  }

  bool HasChildren(NodeId id) override {
    return Query(connection, kHasChildren).Bind(1, id).Step();
  }

  std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) override {
    Query query(connection, kFindValue);
    query.Bind(1, key).Bind(2, folded);
    if (!query.Step()) return std::nullopt;
    return NamedValue{query.Text(0), RegValue{static_cast<RegType>(query.Int(1)), query.Blob(2)}};
  }

  std::vector<std::string> ValueNames(NodeId key) override {
    Query query(connection, kValueNames);
    query.Bind(1, key);
    std::vector<std::string> names;
    while (query.Step()) names.push_back(query.Text(0));
    return names;
  }

  std::optional<std::string> ValueNameAt(NodeId key, uint32_t index) override {
    Query query(connection, kValueAt);
    query.Bind(1, key).Bind(2, static_cast<int64_t>(index));
    if (!query.Step()) return std::nullopt;
    return query.Text(0);
  }

  NodeId CreateChild(NodeId parent, std::string_view name, std::string_view folded) override {
    Query query(connection, kInsertKey);
    query.Bind(1, parent).Bind(2, name).Bind(3, folded).Run();
    return connection.LastInsertId();
  }

  void PutValue(NodeId key, std::string_view name, std::string_view folded,
                const RegValue& value) override {
    Query(connection, kPutValue)
        .Bind(1, key)
        .Bind(2, name)
        .Bind(3, folded)
        .Bind(4, static_cast<int64_t>(value.type))
        .Bind(5, value.data)
        .Run();
  }

  bool RemoveValue(NodeId key, std::string_view folded) override {
    Query(connection, kRemoveValue).Bind(1, key).Bind(2, folded).Run();
    return connection.Changes() != 0;
  }

  void RemoveTree(NodeId id) override {
    Query(connection, kRemoveTreeValues).Bind(1, id).Run();
    Query(connection, kRemoveTreeKeys).Bind(1, id).Run();
  }

 private:
  Connection& connection;
};

// Point lookups (a key's child by name, a value by name, whether a key exists) remembered from
// one state of the file. Entries of one version all come from reads of that same state.
struct Lookups {
  using Name = std::pair<NodeId, std::string>;
  std::map<NodeId, bool> exists;
  std::map<Name, std::optional<ChildKey>> children;
  std::map<Name, std::optional<NamedValue>> values;

  size_t Size() const { return exists.size() + children.size() + values.size(); }
  void Clear() {
    exists.clear();
    children.clear();
    values.clear();
  }
  void Merge(Lookups&& more) {
    exists.merge(more.exists);
    children.merge(more.children);
    values.merge(more.values);
  }
};

// The body asked for something the cache does not hold; it runs again against the file.
struct CacheMiss {};

// Reads the file and notes the answers to point lookups.
class RecordingReader final : public regtree::NodeReader {
 public:
  RecordingReader(regtree::NodeReader& fileReader, Lookups& noted)
      : file(fileReader), seen(noted) {}

  bool Exists(NodeId id) override {
    const bool exists = file.Exists(id);
    seen.exists.insert_or_assign(id, exists);
    return exists;
  }
  std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) override {
    std::optional<ChildKey> child = file.FindChild(parent, folded);
    seen.children.insert_or_assign(Lookups::Name(parent, folded), child);
    return child;
  }
  std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) override {
    std::optional<NamedValue> value = file.FindValue(key, folded);
    seen.values.insert_or_assign(Lookups::Name(key, folded), value);
    return value;
  }
  std::vector<ChildKey> Children(NodeId parent) override { return file.Children(parent); }
  std::optional<std::string> ChildNameAt(NodeId parent, uint32_t index) override {
    return file.ChildNameAt(parent, index);
  }
  bool HasChildren(NodeId id) override { return file.HasChildren(id); }
  std::vector<std::string> ValueNames(NodeId key) override { return file.ValueNames(key); }
  std::optional<std::string> ValueNameAt(NodeId key, uint32_t index) override {
    return file.ValueNameAt(key, index);
  }

 private:
  regtree::NodeReader& file;
  Lookups& seen;
};

class SqliteNodeStore final : public regtree::NodeStore {
 public:
  SqliteNodeStore(std::string databasePath, const SqliteRegistryOptions& storeOptions)
      : path(std::move(databasePath)), options(storeOptions) {}

  // Sets the database up on first use (WAL mode, tables, hive roots) and checks its version.
  void Initialise() {
    Lease lease(*this);
    Connection* connection = &lease.Get();
    if (!connection->ReadOnly()) {
      // The journal mode is a property of the file: set once, kept by every later connection.
      Retrying([&] { connection->Execute("PRAGMA journal_mode = WAL"); });
      Run(*connection, true, [&](Connection& c) {
        if (c.PragmaInt("PRAGMA user_version") == 0) c.Execute(kCreateSchema);
      });
    }
    int64_t version = 0;
    Run(*connection, false, [&](Connection& c) { version = c.PragmaInt("PRAGMA user_version"); });
    if (version == 0) {
      throw RegistryError(RegistryErrc::kAccessDenied,
                          "registry store '" + path + "' is read-only and has not been set up");
    }
    if (version != kSchemaVersion) {
      throw RegistryError(RegistryErrc::kIoFailed,
                          "registry store '" + path + "' has schema version " +
                              std::to_string(version) + ", this program knows version " +
                              std::to_string(kSchemaVersion));
    }
  }

  // Point lookups come from memory while the file stays as it was when they were read: every
  // read first asks SQLite whether any connection (of this process or another) committed since.
  void Read(const std::function<void(regtree::NodeReader&)>& body) override {
    const int64_t version = DataVersion();
    {
      MutexLock lock(cacheMutex);
      if (cacheVersion != version) {
        cache.Clear();
        cacheVersion = version;
      }
    }
    try {
      CachedReader cached(*this, version);
      body(cached);
      return;
    } catch (const CacheMiss&) {
      // Run again against the file (bodies allow that).
    }
    Lookups seen;
    {
      Lease lease(*this);
      Run(lease.Get(), false, [&](Connection& c) {
        seen.Clear();
        ConnectionAccess access(c);
        RecordingReader recording(access, seen);
        body(recording);
      });
    }
    // What was read is the state of that version only when nobody committed in between.
    if (DataVersion() != version) return;
    MutexLock lock(cacheMutex);
    if (cacheVersion != version) return;
    if (cache.Size() + seen.Size() > options.maxCachedLookups) cache.Clear();
    if (seen.Size() <= options.maxCachedLookups) cache.Merge(std::move(seen));
  }

  void Write(const std::function<void(regtree::NodeWriter&)>& body) override {
    Lease lease(*this);
    if (lease.Get().ReadOnly()) {
      throw RegistryError(RegistryErrc::kAccessDenied,
                          "registry store '" + path + "' is read-only to this process");
    }
    Run(lease.Get(), true, [&](Connection& c) {
      ConnectionAccess access(c);
      body(access);
    });
  }

  void Sync() override {
    // With synchronous=NORMAL a commit reaches the WAL file without an fsync, so syncing the WAL
    // makes every commit durable. Pages a checkpoint moved into the database are durable
    // already: the checkpoint syncs the database before the WAL may be reused.
    if (!SyncFile(path + "-wal")) SyncFile(path);
  }

 private:
  // Answers from the cache of one version; throws CacheMiss for anything else, or when the
  // cache moved on to another version meanwhile.
  class CachedReader final : public regtree::NodeReader {
   public:
    CachedReader(SqliteNodeStore& s, int64_t readVersion) : store(s), version(readVersion) {}

    bool Exists(NodeId id) override {
      MutexLock lock(store.cacheMutex);
      return Find(store.cache.exists, id);
    }
    std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) override {
      MutexLock lock(store.cacheMutex);
      return Find(store.cache.children, Lookups::Name(parent, folded));
    }
    std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) override {
      MutexLock lock(store.cacheMutex);
      return Find(store.cache.values, Lookups::Name(key, folded));
    }
    // Listings are rare and unbounded; they always go to the file.
    std::vector<ChildKey> Children(NodeId) override { throw CacheMiss{}; }
    std::optional<std::string> ChildNameAt(NodeId, uint32_t) override { throw CacheMiss{}; }
    bool HasChildren(NodeId) override { throw CacheMiss{}; }
    std::vector<std::string> ValueNames(NodeId) override { throw CacheMiss{}; }
    std::optional<std::string> ValueNameAt(NodeId, uint32_t) override { throw CacheMiss{}; }

   private:
    template <typename Map, typename Key>
    typename Map::mapped_type Find(const Map& map, const Key& key) REQUIRES(store.cacheMutex) {
      if (store.cacheVersion != version) throw CacheMiss{};
      auto found = map.find(key);
      if (found == map.end()) throw CacheMiss{};
      return found->second;
    }

    SqliteNodeStore& store;
    const int64_t version;
  };

  // A connection borrowed from the pool for one operation.
  class Lease {
   public:
    explicit Lease(SqliteNodeStore& s) : store(s), connection(s.Acquire()) {}
    ~Lease() { store.Release(std::move(connection)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection& Get() { return *connection; }

   private:
    SqliteNodeStore& store;
    std::unique_ptr<Connection> connection;
  };

  // Hands out an idle connection or opens one; with maxConnections open and none idle, waits
  // for one to come back, at most the busy limit.
  std::unique_ptr<Connection> Acquire() {
    {
      MutexLock lock(poolMutex);
      const auto deadline = std::chrono::steady_clock::now() + options.busyLimit;
      while (idle.empty() && open >= options.maxConnections) {
        if (poolChanged.wait_until(lock.Native(), deadline) == std::cv_status::timeout &&
            idle.empty() && open >= options.maxConnections) {
          throw RegistryError(RegistryErrc::kIoFailed,
                              "all " + std::to_string(options.maxConnections) +
                                  " connections to registry store '" + path + "' stayed in use");
        }
      }
      if (!idle.empty()) {
        std::unique_ptr<Connection> connection = std::move(idle.back());
        idle.pop_back();
        return connection;
      }
      ++open;
    }
    try {
      return std::make_unique<Connection>(path, options);
    } catch (...) {
      Forget();
      throw;
    }
  }

  void Release(std::unique_ptr<Connection> connection) {
    {
      MutexLock lock(poolMutex);
      // A connection left inside a transaction it could not end is not reused.
      if (connection->Idle() && idle.size() < options.maxIdleConnections) {
        idle.push_back(std::move(connection));  // leaves connection empty
      }
    }
    if (connection) {
      connection.reset();  // closed outside the lock
      Forget();
      return;
    }
    poolChanged.notify_one();
  }

  // One connection fewer is open.
  void Forget() {
    {
      MutexLock lock(poolMutex);
      --open;
    }
    poolChanged.notify_one();
  }

  // Runs attempt until it gets through without meeting another connection's lock, for at most
  // the busy limit. SQLite's busy handler already waits inside most calls; this covers the
  // cases it does not (a WAL being recovered, a lock met while a batch was under way).
  template <typename Attempt>
  void Retrying(Attempt&& attempt) {
    const auto deadline = std::chrono::steady_clock::now() + options.busyLimit;
    auto pause = std::chrono::microseconds(100);
    while (true) {
      try {
        attempt();
        return;
      } catch (const Busy&) {
        if (std::chrono::steady_clock::now() >= deadline) {
          throw RegistryError(RegistryErrc::kIoFailed,
                              "registry store '" + path + "' stayed locked by another writer for " +
                                  std::to_string(options.busyLimit.count()) + " ms");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20'000));
      }
    }
  }

  // Runs body inside one SQLite transaction; a write takes the write lock at once (BEGIN
  // IMMEDIATE) so that it never has to upgrade a read and fail halfway.
  template <typename Body>
  void Run(Connection& connection, bool write, Body&& body) {
    Retrying([&] {
      try {
        Query(connection, write ? kBeginImmediate : kBegin).Run();
        body(connection);
        Query(connection, kCommit).Run();
      } catch (...) {
        if (!connection.Idle()) {
          sqlite3_stmt* rollback = connection.Prepared(kRollback);
          sqlite3_step(rollback);
          sqlite3_reset(rollback);
        }
        throw;
      }
    });
  }

  // False when the file does not exist.
  bool SyncFile(const std::string& file) {
    posix::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      if (errno == ENOENT) return false;
      throw RegistryError(RegistryErrc::kIoFailed,
                          "cannot flush '" + file + "': " + std::strerror(errno));
    }
    const int rc = ::fsync(fd.get());
    const int error = errno;
    if (rc != 0) {
      throw RegistryError(RegistryErrc::kIoFailed,
                          "cannot flush '" + file + "': " + std::strerror(error));
    }
    return true;
  }

  // SQLite's count of commits by other connections, as seen by a connection of its own that
  // never writes, so every commit (ours included) changes it.
  int64_t DataVersion() {
    MutexLock lock(watchMutex);
    if (!watch) watch = std::make_unique<Connection>(path, options);
    Connection& connection = *watch;  // the lambda below does not carry the lock's proof
    int64_t version = 0;
    Retrying([&] {
      Query query(connection, kDataVersion);
      version = query.Step() ? query.Int(0) : 0;
    });
    return version;
  }

  const std::string path;
  const SqliteRegistryOptions options;

  Mutex watchMutex;  // Guards the member below.
  std::unique_ptr<Connection> watch GUARDED_BY(watchMutex);

  Mutex cacheMutex;  // Guards the members below.
  Lookups cache GUARDED_BY(cacheMutex);
  // The data version the cache belongs to; no version is negative.
  int64_t cacheVersion GUARDED_BY(cacheMutex) = -1;

  Mutex poolMutex;  // Guards the members below.
  std::condition_variable poolChanged;
  std::vector<std::unique_ptr<Connection>> idle GUARDED_BY(poolMutex);
  size_t open GUARDED_BY(poolMutex) = 0;  // connections in use or idle
};

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string ParentDirectory(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void PrepareLocation(const std::string& databasePath) {
  std::string directory = ParentDirectory(databasePath);
  if (directory.empty() || Exists(directory)) return;
  try {
    CreateDirectories(directory, DirectoryMode());
  } catch (const std::system_error& e) {
    RegistryErrc code = e.code() == std::errc::permission_denied ||
                                e.code() == std::errc::operation_not_permitted ||
                                e.code() == std::errc::read_only_file_system
                            ? RegistryErrc::kAccessDenied
                            : RegistryErrc::kIoFailed;
    throw RegistryError(code, "cannot create the registry directory: " + std::string(e.what()));
  }
}

}  // namespace

std::unique_ptr<Registry> OpenSqliteRegistry(const std::string& databasePath,
                                             const SqliteRegistryOptions& options) {
  if (databasePath.empty()) {
    throw RegistryError(RegistryErrc::kInvalidParameter, "empty registry store path");
  }
  PrepareLocation(databasePath);
  bool created = !Exists(databasePath);
  auto store = std::make_shared<SqliteNodeStore>(databasePath, options);
  if (created) {
    // Open once so the file exists, then give it its mode before the -wal and -shm files are
    // made: SQLite creates those with the database file's mode.
    Connection probe(databasePath, options);
    ::chmod(databasePath.c_str(), FileMode());
  }
  store->Initialise();
  return regtree::MakeTreeRegistry(std::move(store));
}

std::unique_ptr<Registry> OpenRegistry(const std::string& databasePath) {
  return OpenSqliteRegistry(databasePath);
}

std::unique_ptr<Registry> OpenSystemRegistry() {
  return OpenSqliteRegistry(StateDirectory() + "/registry.db");
}

}  // namespace platform
