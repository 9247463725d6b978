#pragma once

// The key tree behind every store. A backend (a SQLite file, memory) implements NodeStore: keys
// as numbered nodes with a parent, a name and named values, read and written in atomic batches.
// MakeTreeRegistry builds the Registry on top of it, once for all backends: paths, case rules,
// access rights, handles on deleted keys and transactions.
//
// Node ids are never reused, so a handle that remembers the id of its key notices when the key
// was deleted, even if a key of the same name was created since.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_path.h"

namespace platform::regtree {

using NodeId = int64_t;

// The hive roots have fixed ids and exist in every store from the start.
NodeId HiveRootId(RegHive hive);
inline constexpr NodeId kFirstFreeNodeId = 4;

struct ChildKey {
  NodeId id = 0;
  std::string name;  // as stored
};

struct NamedValue {
  std::string name;  // as stored
  RegValue value;
};

// Reads of one consistent state of the store. Names passed in are folded (FoldRegistryName);
// lists come in folded-name order. Throws RegistryError when the backend fails.
class NodeReader {
 public:
  virtual ~NodeReader() = default;
  virtual bool Exists(NodeId id) = 0;
  virtual std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) = 0;
  virtual std::vector<ChildKey> Children(NodeId parent) = 0;
  virtual std::optional<std::string> ChildNameAt(NodeId parent, uint32_t index) = 0;
  virtual bool HasChildren(NodeId id) = 0;
  virtual std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) = 0;
  virtual std::vector<std::string> ValueNames(NodeId key) = 0;
  virtual std::optional<std::string> ValueNameAt(NodeId key, uint32_t index) = 0;
};

// Changes inside one atomic batch. The callers check existence first; a backend may assume
// that parent and key exist and that no child of that folded name exists for CreateChild.
class NodeWriter : public NodeReader {
 public:
  virtual NodeId CreateChild(NodeId parent, std::string_view name, std::string_view folded) = 0;
  // An existing value keeps its stored name; type and data are replaced.
  virtual void PutValue(NodeId key, std::string_view name, std::string_view folded,
                        const RegValue& value) = 0;
  virtual bool RemoveValue(NodeId key, std::string_view folded) = 0;
  // Removes the node with its values and everything beneath it.
  virtual void RemoveTree(NodeId id) = 0;
};

// Thread-safe. The bodies handed to Read and Write may run more than once (a backend retries
// a batch that lost a race with another process), so they keep their results in their own
// locals until the call returns, and must not call back into the store.
class NodeStore {
 public:
  virtual ~NodeStore() = default;
  virtual void Read(const std::function<void(NodeReader&)>& body) = 0;
  // Either everything body changed becomes visible at once or, when body or the commit throws,
  // nothing does. Throws RegistryError(kAccessDenied) when the store is read-only.
  virtual void Write(const std::function<void(NodeWriter&)>& body) = 0;
  // Makes every committed batch durable (survives a power loss) before returning.
  virtual void Sync() = 0;
};

// The Registry over a store. The registry, its handles and its transactions share the store.
std::unique_ptr<Registry> MakeTreeRegistry(std::shared_ptr<NodeStore> store);

}  // namespace platform::regtree
