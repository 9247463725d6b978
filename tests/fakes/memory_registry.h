#pragma once

// An in-memory registry for unit tests, with the same rules as the stores the engine uses: case
// rules, access rights, errors, deleted keys and transactions all come from the one
// implementation the SQLite store is built on, so a test against this fake sees what the engine
// would see. Start-up state: the three hive roots, nothing else.
//
// Thread-safe, like every Registry. Handles and transactions may outlive the registry.

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/registry.h"

namespace keystone::testing {

class MemoryNodeStore;

class MemoryRegistry : public platform::Registry {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

  using Key = platform::RegistryKey;
  using Transaction = platform::RegistryTransaction;

  std::unique_ptr<Key> OpenKey(std::string_view path, uint32_t access,
                               Transaction* tx = nullptr) override {
    return registry->OpenKey(path, access, tx);
  }
  std::unique_ptr<Key> CreateKey(std::string_view path, uint32_t access,
                                 Transaction* tx = nullptr) override {
    return registry->CreateKey(path, access, tx);
  }
  void DeleteKey(std::string_view path, Transaction* tx = nullptr) override {
    registry->DeleteKey(path, tx);
  }
  void DeleteTree(std::string_view path, Transaction* tx = nullptr) override {
    registry->DeleteTree(path, tx);
  }
  std::unique_ptr<Transaction> BeginTransaction() override { return registry->BeginTransaction(); }

  // Makes every later change fail with kAccessDenied, as a store that is read-only to the
  // process does; reads go on working.
  void SetReadOnly(bool readOnly);
  // Makes every later operation that reaches the store (reads, writes, commits, flushes) fail
  // with this code, until called with nullopt; for testing how callers handle a failing store.
  void SetFailure(std::optional<platform::RegistryErrc> code) { SetFailureAfter(0, code); }
  // As SetFailure, but only after the next `operations` operations that reach the store have
  // succeeded: a failure in the middle of a caller's sequence of reads and writes.
  void SetFailureAfter(size_t operations, std::optional<platform::RegistryErrc> code);
  // How many times a handle's Flush reached the store.
  size_t FlushCount() const;

 private:
  std::shared_ptr<MemoryNodeStore> store;
  std::unique_ptr<platform::Registry> registry;
};

}  // namespace keystone::testing
