#include "tests/fakes/memory_registry.h"

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
  std::map<std::string, NodeId> children;    // by folded name, so in listing order
  std::map<std::string, NamedValue> values;  // by folded name
};

struct Tree {
  std::map<NodeId, Node> nodes;
  NodeId nextId = platform::regtree::kFirstFreeNodeId;
};

class TreeAccess final : public platform::regtree::NodeWriter {
 public:
  explicit TreeAccess(Tree& t) : tree(t) {}

  bool Exists(NodeId id) override { return tree.nodes.count(id) != 0; }

  std::optional<ChildKey> FindChild(NodeId parent, std::string_view folded) override {
    const Node& node = tree.nodes.at(parent);
    auto it = node.children.find(std::string(folded));
    if (it == node.children.end()) return std::nullopt;
    return ChildKey{it->second, tree.nodes.at(it->second).name};
  }

  std::vector<ChildKey> Children(NodeId parent) override {
    std::vector<ChildKey> children;
    auto it = tree.nodes.find(parent);
    if (it == tree.nodes.end()) return children;
    for (const auto& [folded, id] : it->second.children) {
      children.push_back({id, tree.nodes.at(id).name});
    }
    return children;
  }

  std::optional<std::string> ChildNameAt(NodeId parent, uint32_t index) override {
    std::vector<ChildKey> children = Children(parent);
    if (index >= children.size()) return std::nullopt;
    return children[index].name;
  }

  bool HasChildren(NodeId id) override {
    auto it = tree.nodes.find(id);
    return it != tree.nodes.end() && !it->second.children.empty();
  }

  std::optional<NamedValue> FindValue(NodeId key, std::string_view folded) override {
    auto node = tree.nodes.find(key);
    if (node == tree.nodes.end()) return std::nullopt;
    auto it = node->second.values.find(std::string(folded));
    if (it == node->second.values.end()) return std::nullopt;
    return it->second;
  }

  std::vector<std::string> ValueNames(NodeId key) override {
    std::vector<std::string> names;
    auto node = tree.nodes.find(key);
    if (node == tree.nodes.end()) return names;
    for (const auto& [folded, value] : node->second.values) names.push_back(value.name);
    return names;
  }

  std::optional<std::string> ValueNameAt(NodeId key, uint32_t index) override {
    std::vector<std::string> names = ValueNames(key);
    if (index >= names.size()) return std::nullopt;
    return names[index];
  }

  NodeId CreateChild(NodeId parent, std::string_view name, std::string_view folded) override {
    NodeId id = tree.nextId++;
    tree.nodes[id] = Node{parent, std::string(name), {}, {}};
    tree.nodes.at(parent).children[std::string(folded)] = id;
    return id;
  }

  void PutValue(NodeId key, std::string_view name, std::string_view folded,
                const RegValue& value) override {
    auto& values = tree.nodes.at(key).values;
    auto [it, inserted] = values.try_emplace(std::string(folded), NamedValue{std::string(name), value});
    if (!inserted) it->second.value = value;
  }

  bool RemoveValue(NodeId key, std::string_view folded) override {
    return tree.nodes.at(key).values.erase(std::string(folded)) != 0;
  }

  void RemoveTree(NodeId id) override {
    Node& node = tree.nodes.at(id);
    std::vector<NodeId> children;
    for (const auto& [folded, child] : node.children) children.push_back(child);
    for (NodeId child : children) RemoveTree(child);
    Node& parent = tree.nodes.at(node.parent);
    parent.children.erase(platform::FoldRegistryName(node.name));
    tree.nodes.erase(id);
  }

 private:
  Tree& tree;
};

}  // namespace

class MemoryNodeStore final : public platform::regtree::NodeStore {
 public:
  MemoryNodeStore() {
    for (platform::RegHive hive : {platform::RegHive::kLocalMachine, platform::RegHive::kUsers,
                                   platform::RegHive::kCurrentUser}) {
      tree.nodes[platform::regtree::HiveRootId(hive)] = Node{0, platform::HiveShortName(hive), {}, {}};
    }
  }

  void Read(const std::function<void(platform::regtree::NodeReader&)>& body) override {
    MutexLock lock(mutex);
    ThrowInjectedLocked();
    TreeAccess access(tree);
    body(access);
  }

  void Write(const std::function<void(platform::regtree::NodeWriter&)>& body) override {
    MutexLock lock(mutex);
    ThrowInjectedLocked();
    if (readOnly) throw RegistryError(RegistryErrc::kAccessDenied, "the registry store is read-only");
    // Changes go to a copy that replaces the tree only when the whole batch succeeded.
    Tree working = tree;
    TreeAccess access(working);
    body(access);
    tree = std::move(working);
  }

  void Sync() override {
    MutexLock lock(mutex);
    ThrowInjectedLocked();
    ++flushes;
  }

  void SetReadOnly(bool value) {
    MutexLock lock(mutex);
    readOnly = value;
  }
  void SetFailure(std::optional<RegistryErrc> code) {
    MutexLock lock(mutex);
    failure = code;
  }
  size_t FlushCount() {
    MutexLock lock(mutex);
    return flushes;
  }

 private:
  void ThrowInjectedLocked() REQUIRES(mutex) {
    if (failure) throw RegistryError(*failure, "injected registry failure");
  }

  Mutex mutex;
  Tree tree GUARDED_BY(mutex);
  bool readOnly GUARDED_BY(mutex) = false;
  std::optional<RegistryErrc> failure GUARDED_BY(mutex);
  size_t flushes GUARDED_BY(mutex) = 0;
};

MemoryRegistry::MemoryRegistry()
    : store(std::make_shared<MemoryNodeStore>()),
      registry(platform::regtree::MakeTreeRegistry(store)) {}

MemoryRegistry::~MemoryRegistry() = default;

std::unique_ptr<platform::RegistryKey> MemoryRegistry::OpenKey(
    std::string_view path, uint32_t access, platform::RegistryTransaction* transaction) {
  return registry->OpenKey(path, access, transaction);
}

std::unique_ptr<platform::RegistryKey> MemoryRegistry::CreateKey(
    std::string_view path, uint32_t access, platform::RegistryTransaction* transaction) {
  return registry->CreateKey(path, access, transaction);
}

void MemoryRegistry::DeleteKey(std::string_view path, platform::RegistryTransaction* transaction) {
  registry->DeleteKey(path, transaction);
}

void MemoryRegistry::DeleteTree(std::string_view path,
                                platform::RegistryTransaction* transaction) {
  registry->DeleteTree(path, transaction);
}

std::unique_ptr<platform::RegistryTransaction> MemoryRegistry::BeginTransaction() {
  return registry->BeginTransaction();
}

void MemoryRegistry::SetReadOnly(bool readOnly) { store->SetReadOnly(readOnly); }
void MemoryRegistry::SetFailure(std::optional<RegistryErrc> code) { store->SetFailure(code); }
size_t MemoryRegistry::FlushCount() const { return store->FlushCount(); }

}  // namespace keystone::testing
