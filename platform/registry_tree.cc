#include "platform/registry_tree.h"

#include <map>
#include <utility>

#include "common/mutex.h"

namespace platform::regtree {
namespace {

using keystone::Mutex;
using keystone::MutexLock;

[[noreturn]] void Fail(RegistryErrc code, const std::string& what) {
  throw RegistryError(code, what);
}

// ---------------------------------------------------------------------------------------------
// Transactions keep their changes in memory: an overlay that the transaction's own handles read
// through, and a log of operations that Commit replays against the store in one atomic batch.
// Nothing is locked in the store until Commit, so an open transaction never blocks other writers.

enum class OpKind { kCreateKey, kSetValue, kDeleteValue, kDeleteKey, kDeleteTree };

struct TxOp {
  OpKind kind;
  NodeId node = 0;    // the key changed; for kCreateKey the transaction's id of the new key
  NodeId parent = 0;  // kCreateKey only
  std::string name;   // key name (kCreateKey) or value name
  std::string folded;
  RegValue value;
  std::string path;  // of the key, for messages
};

struct TxKey {
  bool deleted = false;
  std::map<std::string, std::optional<NamedValue>> values;  // by folded name; nullopt: deleted
};

// A key created by the transaction. Its id is negative until Commit gives it a real one.
struct LocalKey {
  NodeId parent = 0;
  std::string name;
  std::string folded;
};

struct TxData {
  bool ended = false;
  std::map<NodeId, TxKey> touched;
  std::map<NodeId, LocalKey> created;
  std::vector<TxOp> log;
  NodeId nextLocalId = -1;

  void RequireActive() const {
    if (ended) Fail(RegistryErrc::kTransactionFailed, "the registry transaction has ended");
  }
  bool Deleted(NodeId id) const {
    auto it = touched.find(id);
    return it != touched.end() && it->second.deleted;
  }
  void End() {
    ended = true;
    touched.clear();
    created.clear();
    log.clear();
  }

  NodeId AddCreate(NodeId parent, const std::string& name, std::string folded, std::string path) {
    NodeId id = nextLocalId--;
    created[id] = LocalKey{parent, name, folded};
    log.push_back({OpKind::kCreateKey, id, parent, name, std::move(folded), {}, std::move(path)});
    return id;
  }
  void AddSet(NodeId key, std::string storedName, std::string folded, const RegValue& value,
              std::string path) {
    touched[key].values[folded] = NamedValue{storedName, value};
    log.push_back({OpKind::kSetValue, key, 0, std::move(storedName), std::move(folded), value,
                   std::move(path)});
  }
  void AddDeleteValue(NodeId key, std::string folded, std::string path) {
    touched[key].values[folded] = std::nullopt;
    log.push_back({OpKind::kDeleteValue, key, 0, {}, std::move(folded), {}, std::move(path)});
  }
  void AddDeleteKey(NodeId key, bool tree, std::string path) {
    touched[key].deleted = true;
    log.push_back({tree ? OpKind::kDeleteTree : OpKind::kDeleteKey, key, 0, {}, {}, {},
                   std::move(path)});
  }
};

// Shared by the transaction object and the handles opened in it, so that a handle outliving its
// transaction finds it ended. Users of one transaction on several threads take turns on the
// mutex; it is held across the store read that the overlay is merged with, so both agree.
class TxState {
 public:
  explicit TxState(const NodeStore* owner) : store(owner) {}
  const NodeStore* Store() const { return store; }
  Mutex mutex;
  TxData& DataLocked() REQUIRES(mutex) { return data; }

 private:
  const NodeStore* const store;
  TxData data GUARDED_BY(mutex);
};

// ---------------------------------------------------------------------------------------------

// What a handle sees: the store as committed or, in a transaction, the transaction's own changes
// on top of it.
class View {
 public:
  View(NodeReader& storeReader, const TxData* txData) : reader(storeReader), tx(txData) {}

  // Whether the key at the end of the chain of ids (hive root first) still exists.
  bool Alive(const std::vector<NodeId>& chain) {
    if (!tx) return reader.Exists(chain.back());
    NodeId deepestStored = 0;
    for (NodeId id : chain) {
      if (tx->Deleted(id)) return false;
      if (id > 0) deepestStored = id;
    }
    // A stored key gone from the store takes the transaction's new keys beneath it along.
    return reader.Exists(deepestStored);
  }

  std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) {
    if (tx) {
      for (const auto& [id, key] : tx->created) {
        if (key.parent == parent && key.folded == folded && !tx->Deleted(id)) {
          return ChildKey{id, key.name};
        }
      }
      if (parent < 0) return std::nullopt;
    }
    std::optional<ChildKey> child = reader.FindChild(parent, folded);
    if (child && tx && tx->Deleted(child->id)) return std::nullopt;
    return child;
  }

  std::vector<ChildKey> Children(NodeId parent) {
    if (!tx) return reader.Children(parent);
    std::map<std::string, ChildKey> merged;
    if (parent > 0) {
      for (ChildKey& child : reader.Children(parent)) {
        if (!tx->Deleted(child.id)) merged[FoldRegistryName(child.name)] = std::move(child);
      }
    }
    for (const auto& [id, key] : tx->created) {
      if (key.parent == parent && !tx->Deleted(id)) merged[key.folded] = ChildKey{id, key.name};
    }
    std::vector<ChildKey> children;
    for (auto& entry : merged) children.push_back(std::move(entry.second));
    return children;
  }

  std::optional<std::string> ChildNameAt(NodeId parent, uint32_t index) {
    if (!tx) return reader.ChildNameAt(parent, index);
    std::vector<ChildKey> children = Children(parent);
    if (index >= children.size()) return std::nullopt;
    return children[index].name;
  }

  bool HasChildren(NodeId id) {
    if (!tx) return reader.HasChildren(id);
    return !Children(id).empty();
  }

  std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) {
    if (tx) {
      if (auto t = tx->touched.find(key); t != tx->touched.end()) {
        if (auto v = t->second.values.find(std::string(folded)); v != t->second.values.end()) {
          return v->second;
        }
      }
      if (key < 0) return std::nullopt;
    }
    return reader.FindValue(key, folded);
  }

  std::optional<std::string> ValueNameAt(NodeId key, uint32_t index) {
    if (!tx) return reader.ValueNameAt(key, index);
    std::map<std::string, std::string> names;  // folded -> stored
    if (key > 0) {
      for (std::string& name : reader.ValueNames(key)) names[FoldRegistryName(name)] = name;
    }
    if (auto t = tx->touched.find(key); t != tx->touched.end()) {
      for (const auto& [folded, value] : t->second.values) {
        if (value) {
          names[folded] = value->name;
        } else {
          names.erase(folded);
        }
      }
    }
    if (index >= names.size()) return std::nullopt;
    auto it = names.begin();
    std::advance(it, index);
    return it->second;
  }

 private:
  NodeReader& reader;
  const TxData* tx;
};

// How far a path exists: the ids from the hive root down and the stored names below the root.
struct Resolved {
  std::vector<NodeId> chain;
  std::vector<std::string> names;
};

Resolved Walk(View& view, const RegistryPath& path) {
  Resolved found;
  found.chain.push_back(HiveRootId(path.hive));
  for (const std::string& name : path.components) {
    std::optional<ChildKey> child = view.FindChild(found.chain.back(), FoldRegistryName(name));
    if (!child) break;
    found.chain.push_back(child->id);
    found.names.push_back(std::move(child->name));
  }
  return found;
}

bool Complete(const Resolved& found, const RegistryPath& path) {
  return found.names.size() == path.components.size();
}

// Applies a committed transaction's log. Each operation finds its key by id: a key the
// transaction saw may have been deleted by someone else since, and then the change has no place.
void Replay(NodeWriter& writer, const std::vector<TxOp>& log) {
  std::map<NodeId, NodeId> ids;  // the transaction's ids of new keys -> ids in the store
  auto resolve = [&](NodeId id) -> NodeId {
    if (id < 0) {
      auto it = ids.find(id);
      id = it == ids.end() ? 0 : it->second;
    }
    return id != 0 && writer.Exists(id) ? id : 0;
  };
  auto conflict = [](const TxOp& op) {
    Fail(RegistryErrc::kTransactionFailed, "registry key " + QuoteRegistryName(op.path) +
                                               " was deleted before the transaction committed");
  };
  for (const TxOp& op : log) {
    switch (op.kind) {
      case OpKind::kCreateKey: {
        NodeId parent = resolve(op.parent);
        if (!parent) conflict(op);
        // Someone else may have created the same key meanwhile: the transaction then uses it.
        std::optional<ChildKey> existing = writer.FindChild(parent, op.folded);
        ids[op.node] = existing ? existing->id : writer.CreateChild(parent, op.name, op.folded);
        break;
      }
      case OpKind::kSetValue: {
        NodeId key = resolve(op.node);
        if (!key) conflict(op);
        writer.PutValue(key, op.name, op.folded, op.value);
        break;
      }
      case OpKind::kDeleteValue: {
        NodeId key = resolve(op.node);
        if (!key) conflict(op);
        writer.RemoveValue(key, op.folded);
        break;
      }
      case OpKind::kDeleteKey: {
        NodeId key = resolve(op.node);
        if (!key) break;  // already gone: the outcome the transaction wanted
        if (writer.HasChildren(key)) {
          Fail(RegistryErrc::kTransactionFailed,
               "registry key " + QuoteRegistryName(op.path) +
                   " got subkeys before the transaction committed");
        }
        writer.RemoveTree(key);
        break;
      }
      case OpKind::kDeleteTree: {
        if (NodeId key = resolve(op.node)) writer.RemoveTree(key);
        break;
      }
    }
  }
}

class TreeTransaction final : public RegistryTransaction {
 public:
  explicit TreeTransaction(std::shared_ptr<NodeStore> nodeStore)
      : store(std::move(nodeStore)), state(std::make_shared<TxState>(store.get())) {}
  ~TreeTransaction() override { Rollback(); }
  TreeTransaction(const TreeTransaction&) = delete;
  TreeTransaction& operator=(const TreeTransaction&) = delete;

  void Commit() override {
    std::vector<TxOp> log;
    {
      MutexLock lock(state->mutex);
      TxData& data = state->DataLocked();
      if (data.ended) {
        Fail(RegistryErrc::kTransactionFailed, "the registry transaction has already ended");
      }
      log = std::move(data.log);
      data.End();
    }
    if (log.empty()) return;
    try {
      store->Write([&](NodeWriter& writer) { Replay(writer, log); });
    } catch (const RegistryError& e) {
      if (e.code() == RegistryErrc::kTransactionFailed) throw;
      Fail(RegistryErrc::kTransactionFailed,
           std::string("the registry transaction could not be committed: ") + e.what());
    }
  }

  void Rollback() override {
    MutexLock lock(state->mutex);
    state->DataLocked().End();
  }

  const std::shared_ptr<TxState>& State() const { return state; }

 private:
  std::shared_ptr<NodeStore> store;
  std::shared_ptr<TxState> state;
};

// ---------------------------------------------------------------------------------------------

class TreeKey final : public RegistryKey {
 public:
  TreeKey(std::shared_ptr<NodeStore> nodeStore, std::shared_ptr<TxState> txState, RegHive hive,
          Resolved found, uint32_t accessRights)
      : store(std::move(nodeStore)),
        tx(std::move(txState)),
        chain(std::move(found.chain)),
        path(FormatRegistryPath(hive, found.names)),
        access(accessRights) {}

  std::string Path() const override { return path; }

  std::optional<std::string> EnumKey(uint32_t index) override {
    Require(reg_access::kEnumerateSubKeys, "enumerate subkeys");
    std::optional<std::string> name;
    bool alive = true;
    InView([&](View& view) {
      name = view.ChildNameAt(Id(), index);
      alive = name || view.Alive(chain);
    });
    if (!alive) Deleted();
    return name;
  }

  std::optional<std::string> EnumValue(uint32_t index) override {
    Require(reg_access::kQueryValue, "enumerate values");
    std::optional<std::string> name;
    bool alive = true;
    InView([&](View& view) {
      name = view.ValueNameAt(Id(), index);
      alive = name || view.Alive(chain);
    });
    if (!alive) Deleted();
    return name;
  }

  std::optional<RegValue> QueryValue(std::string_view name) override {
    Require(reg_access::kQueryValue, "query values");
    ValidateValueName(name);
    std::string folded = FoldRegistryName(name);
    std::optional<NamedValue> found;
    bool alive = true;
    InView([&](View& view) {
      // A value can only be found on a live key, so the common case costs one lookup.
      found = view.FindValue(Id(), folded);
      alive = found || view.Alive(chain);
    });
    if (!alive) Deleted();
    if (!found) return std::nullopt;
    return std::move(found->value);
  }

  void SetValue(std::string_view name, const RegValue& value) override {
    Require(reg_access::kSetValue, "set values");
    ValidateValueName(name);
    if (value.data.size() > kMaxValueDataSize) {
      Fail(RegistryErrc::kInvalidParameter, "value " + QuoteRegistryName(name) + " has " +
                                                std::to_string(value.data.size()) +
                                                " bytes of data, more than 1 MiB");
    }
    std::string folded = FoldRegistryName(name);
    if (!tx) {
      bool alive = true;
      store->Write([&](NodeWriter& writer) {
        alive = writer.Exists(Id());
        if (alive) writer.PutValue(Id(), name, folded, value);
      });
      if (!alive) Deleted();
      return;
    }
    MutexLock lock(tx->mutex);
    TxData& data = tx->DataLocked();
    data.RequireActive();
    std::string storedName;
    ReadTx(data, [&](View& view) {
      std::optional<NamedValue> existing = view.FindValue(Id(), folded);
      storedName = existing ? existing->name : std::string(name);
    });
    data.AddSet(Id(), std::move(storedName), std::move(folded), value, path);
  }

  bool DeleteValue(std::string_view name) override {
    Require(reg_access::kSetValue, "delete values");
    ValidateValueName(name);
    std::string folded = FoldRegistryName(name);
    if (!tx) {
      bool alive = true;
      bool removed = false;
      store->Write([&](NodeWriter& writer) {
        alive = writer.Exists(Id());
        removed = alive && writer.RemoveValue(Id(), folded);
      });
      if (!alive) Deleted();
      return removed;
    }
    MutexLock lock(tx->mutex);
    TxData& data = tx->DataLocked();
    data.RequireActive();
    bool present = false;
    ReadTx(data, [&](View& view) { present = view.FindValue(Id(), folded).has_value(); });
    if (present) data.AddDeleteValue(Id(), std::move(folded), path);
    return present;
  }

  void Flush() override {
    bool alive = true;
    InView([&](View& view) { alive = view.Alive(chain); });
    if (!alive) Deleted();
    // A transaction's changes reach the store only at Commit; a later Flush covers them.
    if (!tx) store->Sync();
  }

 private:
  NodeId Id() const { return chain.back(); }

  void Require(uint32_t right, const char* what) const {
    if ((access & right) != right) {
      Fail(RegistryErrc::kAccessDenied, "the handle on registry key " + QuoteRegistryName(path) +
                                            " was not opened with the right to " + what);
    }
  }

  [[noreturn]] void Deleted() const {
    Fail(RegistryErrc::kKeyDeleted, "registry key " + QuoteRegistryName(path) + " was deleted");
  }

  // Runs body on the store read through the transaction; throws kKeyDeleted first when the key
  // is gone in the transaction's view.
  template <typename Body>
  void ReadTx(const TxData& data, Body&& body) {
    store->Read([&](NodeReader& reader) {
      View view(reader, &data);
      if (!view.Alive(chain)) Deleted();
      body(view);
    });
  }

  template <typename Body>
  void InView(Body&& body) {
    if (!tx) {
      store->Read([&](NodeReader& reader) {
        View view(reader, nullptr);
        body(view);
      });
      return;
    }
    MutexLock lock(tx->mutex);
    const TxData& data = tx->DataLocked();
    data.RequireActive();
    ReadTx(data, body);
  }

  std::shared_ptr<NodeStore> store;
  std::shared_ptr<TxState> tx;  // null outside a transaction
  std::vector<NodeId> chain;    // ids from the hive root down to this key
  std::string path;
  uint32_t access;
};

// ---------------------------------------------------------------------------------------------

class TreeRegistry final : public Registry {
 public:
  explicit TreeRegistry(std::shared_ptr<NodeStore> nodeStore) : store(std::move(nodeStore)) {}

  std::unique_ptr<RegistryKey> OpenKey(std::string_view path, uint32_t access,
                                       RegistryTransaction* transaction) override {
    RegistryPath parsed = ParseRegistryPath(path);
    std::shared_ptr<TxState> tx = StateOf(transaction);
    Resolved found;
    if (!tx) {
      store->Read([&](NodeReader& reader) {
        View view(reader, nullptr);
        found = Walk(view, parsed);
      });
    } else {
      MutexLock lock(tx->mutex);
      const TxData& data = tx->DataLocked();
      data.RequireActive();
      store->Read([&](NodeReader& reader) {
        View view(reader, &data);
        found = Walk(view, parsed);
      });
    }
    if (!Complete(found, parsed)) return nullptr;
    return std::make_unique<TreeKey>(store, std::move(tx), parsed.hive, std::move(found), access);
  }

  std::unique_ptr<RegistryKey> CreateKey(std::string_view path, uint32_t access,
                                         RegistryTransaction* transaction) override {
    RegistryPath parsed = ParseRegistryPath(path);
    std::shared_ptr<TxState> tx = StateOf(transaction);
    Resolved found;
    if (!tx) {
      // Most calls find the key already there; only a missing key costs a write.
      store->Read([&](NodeReader& reader) {
        View view(reader, nullptr);
        found = Walk(view, parsed);
      });
      if (!Complete(found, parsed)) {
        store->Write([&](NodeWriter& writer) {
          View view(writer, nullptr);
          found = Walk(view, parsed);
          for (size_t i = found.names.size(); i < parsed.components.size(); ++i) {
            const std::string& name = parsed.components[i];
            found.chain.push_back(
                writer.CreateChild(found.chain.back(), name, FoldRegistryName(name)));
            found.names.push_back(name);
          }
        });
      }
    } else {
      MutexLock lock(tx->mutex);
      TxData& data = tx->DataLocked();
      data.RequireActive();
      store->Read([&](NodeReader& reader) {
        View view(reader, &data);
        found = Walk(view, parsed);
      });
      for (size_t i = found.names.size(); i < parsed.components.size(); ++i) {
        const std::string& name = parsed.components[i];
        found.names.push_back(name);
        found.chain.push_back(data.AddCreate(found.chain.back(), name, FoldRegistryName(name),
                                             FormatRegistryPath(parsed.hive, found.names)));
      }
    }
    return std::make_unique<TreeKey>(store, std::move(tx), parsed.hive, std::move(found), access);
  }

  void DeleteKey(std::string_view path, RegistryTransaction* transaction) override {
    Delete(path, transaction, false);
  }

  void DeleteTree(std::string_view path, RegistryTransaction* transaction) override {
    Delete(path, transaction, true);
  }

  std::unique_ptr<RegistryTransaction> BeginTransaction() override {
    return std::make_unique<TreeTransaction>(store);
  }

 private:
  std::shared_ptr<TxState> StateOf(RegistryTransaction* transaction) const {
    if (!transaction) return nullptr;
    auto* tree = dynamic_cast<TreeTransaction*>(transaction);
    if (!tree || tree->State()->Store() != store.get()) {
      Fail(RegistryErrc::kInvalidParameter, "the transaction belongs to another registry store");
    }
    return tree->State();
  }

  void Delete(std::string_view path, RegistryTransaction* transaction, bool tree) {
    RegistryPath parsed = ParseRegistryPath(path);
    if (parsed.components.empty()) {
      Fail(RegistryErrc::kAccessDenied,
           std::string("the hive root ") + HiveShortName(parsed.hive) + " cannot be deleted");
    }
    std::string shown = FormatRegistryPath(parsed.hive, parsed.components);
    auto check = [&](View& view, const Resolved& found) {
      if (!Complete(found, parsed)) {
        Fail(RegistryErrc::kNotFound, "registry key " + QuoteRegistryName(shown) + " not found");
      }
      if (!tree && view.HasChildren(found.chain.back())) {
        Fail(RegistryErrc::kKeyHasChildren,
             "registry key " + QuoteRegistryName(shown) + " has subkeys");
      }
    };
    std::shared_ptr<TxState> tx = StateOf(transaction);
    if (!tx) {
      store->Write([&](NodeWriter& writer) {
        View view(writer, nullptr);
        Resolved found = Walk(view, parsed);
        check(view, found);
        writer.RemoveTree(found.chain.back());
      });
      return;
    }
    MutexLock lock(tx->mutex);
    TxData& data = tx->DataLocked();
    data.RequireActive();
    Resolved found;
    store->Read([&](NodeReader& reader) {
      View view(reader, &data);
      found = Walk(view, parsed);
      check(view, found);
    });
    data.AddDeleteKey(found.chain.back(), tree, FormatRegistryPath(parsed.hive, found.names));
  }

  std::shared_ptr<NodeStore> store;
};

}  // namespace

NodeId HiveRootId(RegHive hive) {
  switch (hive) {
    case RegHive::kLocalMachine: return 1;
    case RegHive::kUsers: return 2;
    case RegHive::kCurrentUser: return 3;
  }
  return 1;
}

std::unique_ptr<Registry> MakeTreeRegistry(std::shared_ptr<NodeStore> store) {
  return std::make_unique<TreeRegistry>(std::move(store));
}

}  // namespace platform::regtree
