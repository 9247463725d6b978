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
  } else if (existing != nodes.end() && existing->second.directory) {
    refusal = std::errc::is_a_directory;
  }
  fail(Op::kCreate, platform::WriteStep::kCreate, refusal);
  Node& node = nodes[path];
  node.content.clear();
  node.mtime = TickLocked();
  fail(Op::kWrite, platform::WriteStep::kWrite, {});
  node.content.assign(bytes.begin(), bytes.end());
  fail(Op::kFlush, platform::WriteStep::kFlush, {});
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
  return path == "/" || nodes.count(path) != 0 || phantoms.count(path) != 0;
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

void MemoryFileSystem::AddPhantom(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  phantoms.insert(Normalize(path));
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

bool MemoryFileSystem::HasDirectory(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = nodes.find(Normalize(path));
  return it != nodes.end() && it->second.directory;
}

std::vector<uint8_t> MemoryFileSystem::Content(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex);
  const Node& node = nodes.at(Normalize(path));
  if (node.directory) throw std::out_of_range("directory: " + path);
  return node.content;
}

std::vector<std::string> MemoryFileSystem::WriteLog() const {
  std::lock_guard<std::mutex> lock(mutex);
  return writeLog;
}

std::vector<std::string> MemoryFileSystem::AllFiles() const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> files;
  for (const auto& [path, node] : nodes) {
    if (!node.directory) files.push_back(path);
  }
  return files;
}

}  // namespace keystone::testing
