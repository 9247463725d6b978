#pragma once

// The registry store on one SQLite database in WAL mode, shared by every process that opens the
// same file: writers take turns on the database's write lock, readers never wait for them, and
// a process killed in the middle of a change leaves the store as it was before that change.
//
// Tables (schema version 1, in PRAGMA user_version):
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER, name TEXT, folded TEXT,
//        UNIQUE(parent, folded))             one row per key; ids 1-3 are the hive roots
//   vals(key INTEGER, name TEXT, folded TEXT, type INTEGER, data BLOB,
//        PRIMARY KEY(key, folded)) WITHOUT ROWID
// "folded" is the name with ASCII letters lowered; lookups and listing order use it.
//
// Reads of single keys and values are served from memory while the file is unchanged: before
// each read the store asks SQLite's data_version (on a connection that never writes) whether
// any connection, in this process or another, has committed since; if so the memory is dropped.

#include <chrono>
#include <memory>
#include <string>

#include "platform/registry.h"

namespace platform {

struct SqliteRegistryOptions {
  // How long one operation waits for another connection's write lock (or a WAL recovery)
  // before it fails with kIoFailed.
  std::chrono::milliseconds busyLimit{5000};
  // Connections open at once (each thread at work holds one) and kept open while idle. A
  // thread that finds all of them in use waits for one, at most busyLimit.
  size_t maxConnections = 16;
  size_t maxIdleConnections = 8;
  // Answers to point lookups (a key or value by name) kept in memory between reads; the cache
  // starts over when it would grow past this. Any commit to the file empties it.
  size_t maxCachedLookups = 4096;
};

// Opens the store in the database file at databasePath, creating the file (and its missing
// directories) when needed. A file that the process may only read gives a store whose writes
// fail with kAccessDenied. Throws RegistryError: kIoFailed when the file is not a registry
// database or cannot be opened, kAccessDenied when it cannot be created.
std::unique_ptr<Registry> OpenSqliteRegistry(const std::string& databasePath,
                                             const SqliteRegistryOptions& options = {});

}  // namespace platform
