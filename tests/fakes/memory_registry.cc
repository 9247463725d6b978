#include "tests/fakes/memory_registry.h"

#include <iterator>
#include <map>
#include <string>
#include <utility>

#include "common/mutex.h"
#include "platform/registry_tree.h"

namespace keystone::testing {

using platform::RegistryErrc;
using platform::RegistryError;
using platform::RegValue;
using platform::regtree::ChildKey;
using platform::regtree::NamedValue;
using platform::regtree::NodeId;

namespace {

struct Node {
  NodeId parent = 0;
  std::string name;
  std::map<std::string, ChildKey> children;  // by folded name, so in listing order
  std::map<std::string, NamedValue> values;  // by folded name
};

template <typename Map>
std::optional<typename Map::mapped_type> Lookup(const Map& map, std::string_view folded) {
  auto it = map.find(std::string(folded));
  return it == map.end() ? std::nullopt : std::optional(it->second);
}

template <typename Map>
std::optional<std::string> NameAt(const Map& map, uint32_t index) {
  if (index >= map.size()) return std::nullopt;
  return std::next(map.begin(), index)->second.name;
}

// The whole key tree. A write batch works on a copy, which replaces the tree only when the whole
// batch succeeded.
class Tree final : public platform::regtree::NodeWriter {
 public:
  bool Exists(NodeId id) override { return nodes.count(id) != 0; }
  std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) override {
    return Lookup(At(parent).children, folded);
  }
  std::vector<ChildKey> Children(NodeId parent) override {
    std::vector<ChildKey> children;
    for (const auto& [folded, child] : At(parent).children) children.push_back(child);
    return children;
  }
  std::optional<std::string> ChildNameAt(NodeId parent, uint32_t index) override {
    return NameAt(At(parent).children, index);
  }
  bool HasChildren(NodeId id) override { return !At(id).children.empty(); }
  std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) override {
    return Lookup(At(key).values, folded);
  }
  std::vector<std::string> ValueNames(NodeId key) override {
    std::vector<std::string> names;
    for (const auto& [folded, value] : At(key).values) names.push_back(value.name);
    return names;
  }
  std::optional<std::string> ValueNameAt(NodeId key, uint32_t index) override {
    return NameAt(At(key).values, index);
  }

  NodeId CreateChild(NodeId parent, std::string_view name, std::string_view folded) override {
    NodeId id = nextId++;
    nodes[id] = Node{parent, std::string(name), {}, {}};
    nodes.at(parent).children[std::string(folded)] = ChildKey{id, std::string(name)};
    return id;
  }
  void PutValue(NodeId key, std::string_view name, std::string_view folded,
                const RegValue& value) override {
    auto [it, inserted] =
        nodes.at(key).values.try_emplace(std::string(folded), NamedValue{std::string(name), value});
    if (!inserted) it->second.value = value;
  }
  bool RemoveValue(NodeId key, std::string_view folded) override {
    return nodes.at(key).values.erase(std::string(folded)) != 0;
  }
  void RemoveTree(NodeId id) override {
    const Node& node = nodes.at(id);
    nodes.at(node.parent).children.erase(platform::FoldRegistryName(node.name));
    std::vector<NodeId> doomed{id};
    for (size_t i = 0; i < doomed.size(); ++i) {
      for (const auto& [folded, child] : nodes.at(doomed[i]).children) doomed.push_back(child.id);
    }
    for (NodeId gone : doomed) nodes.erase(gone);
  }

  std::map<NodeId, Node> nodes;
  NodeId nextId = platform::regtree::kFirstFreeNodeId;

 private:
  // The node, or an empty one for an id that is gone.
  const Node& At(NodeId id) const {
    static const Node kGone;
    auto it = nodes.find(id);
    return it == nodes.end() ? kGone : it->second;
  }
};

}  // namespace

class MemoryNodeStore final : public platform::regtree::NodeStore {
 public:
  MemoryNodeStore() {
    for (platform::RegHive hive : {platform::RegHive::kLocalMachine, platform::RegHive::kUsers,
                                   platform::RegHive::kCurrentUser}) {
      tree.nodes[platform::regtree::HiveRootId(hive)] =
          Node{0, platform::HiveShortName(hive), {}, {}};
    }
  }

  void Read(const std::function<void(platform::regtree::NodeReader&)>& body) override {
    MutexLock lock(mutex);
    ThrowInjectedLocked();
    body(tree);
  }

  void Write(const std::function<void(platform::regtree::NodeWriter&)>& body) override {
    MutexLock lock(mutex);
    ThrowInjectedLocked();
    if (readOnly)
      throw RegistryError(RegistryErrc::kAccessDenied, "the registry store is read-only");
    Tree working = tree;
    body(working);
    tree = std::move(working);
  }

  void Sync() override {
    MutexLock lock(mutex);
    ThrowInjectedLocked();
    ++flushes;
  }

  Mutex mutex;
  bool readOnly GUARDED_BY(mutex) = false;
  std::optional<RegistryErrc> failure GUARDED_BY(mutex);
  size_t successesBeforeFailure GUARDED_BY(mutex) = 0;
  size_t flushes GUARDED_BY(mutex) = 0;

 private:
  void ThrowInjectedLocked() REQUIRES(mutex) {
    if (!failure) return;
    if (successesBeforeFailure > 0) {
      --successesBeforeFailure;
      return;
    }
    throw RegistryError(*failure, "injected registry failure");
  }

  Tree tree GUARDED_BY(mutex);
};

MemoryRegistry::MemoryRegistry()
    : store(std::make_shared<MemoryNodeStore>()),
      registry(platform::regtree::MakeTreeRegistry(store)) {}

MemoryRegistry::~MemoryRegistry() = default;

void MemoryRegistry::SetReadOnly(bool readOnly) {
  MutexLock lock(store->mutex);
  store->readOnly = readOnly;
}

void MemoryRegistry::SetFailureAfter(size_t operations, std::optional<RegistryErrc> code) {
  MutexLock lock(store->mutex);
  store->failure = code;
  store->successesBeforeFailure = operations;
}

size_t MemoryRegistry::FlushCount() const {
  MutexLock lock(store->mutex);
  return store->flushes;
}

}  // namespace keystone::testing
