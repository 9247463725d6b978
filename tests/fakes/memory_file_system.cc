#include "tests/fakes/memory_file_system.h"

#include <stdexcept>

namespace keystone::testing {
namespace {

[[noreturn]] void Throw(std::errc code, const char* what, const std::string& path) {
  throw std::system_error(std::make_error_code(code), std::string(what) + ": " + path);
}

}  // namespace

std::string MemoryFileSystem::Normalize(const std::string& path) {
  std::string result;
  for (char c : path) {
    if (c == '/' && !result.empty() && result.back() == '/') continue;
    result.push_back(c);
  }
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string MemoryFileSystem::ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void MemoryFileSystem::ThrowIfInjectedLocked(Op op, const std::string& path) const {
  auto it = failures.find({op, path});
  if (it != failures.end()) Throw(it->second, "injected", path);
}

const MemoryFileSystem::Node& MemoryFileSystem::FindLocked(Op op, const std::string& path,
                                                           const char* what) const {
  ThrowIfInjectedLocked(op, path);
  auto it = nodes.find(path);
  if (it == nodes.end()) Throw(std::errc::no_such_file_or_directory, what, path);
  return it->second;
}

const MemoryFileSystem::Node& MemoryFileSystem::DirectoryLocked(const std::string& path,
                                                                const char* what) const {
  auto it = nodes.find(path);
  if (it == nodes.end()) Throw(std::errc::no_such_file_or_directory, what, path);
  if (!it->second.directory) Throw(std::errc::not_a_directory, what, path);
  return it->second;
}

platform::FileTime MemoryFileSystem::TickLocked() {
  return platform::FileTime(std::chrono::seconds(++clockSeconds));
}

void MemoryFileSystem::EnsureDirectoriesLocked(const std::string& path) {
  if (path == "/" || path == "." || path.empty()) return;
  EnsureDirectoriesLocked(ParentOf(path));
  auto it = nodes.find(path);
  if (it == nodes.end()) {
    nodes[path].directory = true;
  } else if (!it->second.directory) {
    Throw(std::errc::not_a_directory, "mkdir", path);
  }
}

// A directory of the fake: every call goes to the file system by path.
class MemoryFileSystem::MemoryDirectory final : public platform::Directory {
 public:
  MemoryDirectory(MemoryFileSystem& owner, std::string directoryPath)
      : fs(owner), path(std::move(directoryPath)) {}

  platform::DirectoryAccess Access() override {
    std::lock_guard<std::mutex> lock(fs.mutex);
    return fs.DirectoryLocked(path, "fstat").access;
  }
  std::unique_ptr<platform::Directory> OpenDirectory(const std::string& name,
                                                     bool create) override {
    const std::string child = Child(name);
    {
      std::lock_guard<std::mutex> lock(fs.mutex);
      if (create && fs.nodes.count(child) == 0) {
        fs.ThrowIfInjectedLocked(Op::kCreateDirectories, child);
        fs.nodes[child].directory = true;
      }
      fs.DirectoryLocked(child, "open");
    }
    return std::make_unique<MemoryDirectory>(fs, child);
  }
  void ReplaceFile(const std::string& name, std::span<const uint8_t> bytes) override {
    fs.WriteFile(Child(name), bytes);
  }
  std::vector<uint8_t> ReadFile(const std::string& name, size_t maxBytes) override {
    return fs.ReadFile(Child(name), maxBytes);
  }
  bool Exists(const std::string& name) override { return IsPlain(name) && fs.Exists(Child(name)); }
  std::vector<std::string> List() override { return fs.ListDirectory(path); }
  void DeleteFile(const std::string& name) override { fs.DeleteFile(Child(name)); }
  platform::FileTime LastWriteTime(const std::string& name) override {
    return fs.LastWriteTime(Child(name));
  }
  // Writes here are whole at once; nothing is ever left behind.
  size_t RemoveInterruptedWrites() override { return 0; }

 private:
  static bool IsPlain(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
  }
  std::string Child(const std::string& name) const {
    if (!IsPlain(name)) Throw(std::errc::invalid_argument, "name", path + "/" + name);
    return path == "/" ? "/" + name : path + "/" + name;
  }

  MemoryFileSystem& fs;
  const std::string path;
};

void MemoryFileSystem::WriteFile(const std::string& rawPath, std::span<const uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  writeLog.push_back(path);
  auto fail = [&](Op op, platform::WriteStep step, std::errc code) {
    if (auto it = failures.find({op, path}); it != failures.end()) code = it->second;
    if (code != std::errc{}) {
      throw platform::FileWriteError(step, std::make_error_code(code), "write: " + path);
    }
  };
  const std::string parent = ParentOf(path);
  const auto parentNode = nodes.find(parent);
  const auto existing = nodes.find(path);
  std::errc refusal{};
  if (parent != "/" && parent != "." &&
      (parentNode == nodes.end() || !parentNode->second.directory)) {
    refusal = std::errc::no_such_file_or_directory;
  }
  fail(Op::kCreate, platform::WriteStep::kCreate, refusal);
  fail(Op::kWrite, platform::WriteStep::kWrite, {});
  fail(Op::kFlush, platform::WriteStep::kFlush, {});
  fail(Op::kRename, platform::WriteStep::kRename,
       existing != nodes.end() && existing->second.directory ? std::errc::is_a_directory
                                                             : std::errc{});
  Node& node = nodes[path];
  node.content.assign(bytes.begin(), bytes.end());
  node.mtime = TickLocked();
  fail(Op::kFlushDirectory, platform::WriteStep::kFlushDirectory, {});
}

std::unique_ptr<platform::Directory> MemoryFileSystem::OpenDirectory(const std::string& rawPath) {
  const std::string path = Normalize(rawPath.empty() ? "." : rawPath);
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (path != "/") DirectoryLocked(path, "open");
  }
  return std::make_unique<MemoryDirectory>(*this, path);
}

std::vector<uint8_t> MemoryFileSystem::ReadFile(const std::string& rawPath, size_t maxBytes) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  const Node& node = FindLocked(Op::kRead, path, "open");
  if (node.directory) Throw(std::errc::is_a_directory, "read", path);
  if (node.content.size() > maxBytes) Throw(std::errc::file_too_large, "read", path);
  return node.content;
}

bool MemoryFileSystem::Exists(const std::string& rawPath) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  return path == "/" || nodes.count(path) != 0;
}

void MemoryFileSystem::CreateDirectories(const std::string& rawPath) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  ThrowIfInjectedLocked(Op::kCreateDirectories, path);
  EnsureDirectoriesLocked(path);
}

std::vector<std::string> MemoryFileSystem::ListDirectory(const std::string& rawPath) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  if (path != "/" && !FindLocked(Op::kList, path, "opendir").directory) {
    Throw(std::errc::not_a_directory, "opendir", path);
  }
  const std::string prefix = path == "/" ? "/" : path + "/";
  std::vector<std::string> names;
  for (auto it = nodes.lower_bound(prefix); it != nodes.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    const std::string rest = it->first.substr(prefix.size());
    if (rest.find('/') == std::string::npos) names.push_back(rest);
  }
  return names;
}

void MemoryFileSystem::DeleteFile(const std::string& rawPath) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  if (FindLocked(Op::kDelete, path, "unlink").directory) {
    Throw(std::errc::is_a_directory, "unlink", path);
  }
  nodes.erase(path);
}

platform::FileTime MemoryFileSystem::LastWriteTime(const std::string& rawPath) {
  std::lock_guard<std::mutex> lock(mutex);
  return FindLocked(Op::kTime, Normalize(rawPath), "stat").mtime;
}

void MemoryFileSystem::FailOn(Op op, const std::string& path, std::errc code) {
  std::lock_guard<std::mutex> lock(mutex);
  failures[{op, Normalize(path)}] = code;
}

void MemoryFileSystem::SetAccess(const std::string& path, platform::DirectoryAccess access) {
  std::lock_guard<std::mutex> lock(mutex);
  nodes.at(Normalize(path)).access = access;
}

void MemoryFileSystem::PutFile(const std::string& rawPath, const std::string& content) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::string path = Normalize(rawPath);
  EnsureDirectoriesLocked(ParentOf(path));
  nodes[path] = Node{false, {content.begin(), content.end()}, TickLocked()};
}

void MemoryFileSystem::SetLastWriteTime(const std::string& path, platform::FileTime time) {
  std::lock_guard<std::mutex> lock(mutex);
  nodes.at(Normalize(path)).mtime = time;
}

bool MemoryFileSystem::HasFile(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = nodes.find(Normalize(path));
  return it != nodes.end() && !it->second.directory;
}

std::vector<uint8_t> MemoryFileSystem::Content(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex);
  const Node& node = nodes.at(Normalize(path));
  if (node.directory) throw std::out_of_range("directory: " + path);
  return node.content;
}

}  // namespace keystone::testing
