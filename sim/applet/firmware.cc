#include "sim/applet/firmware.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <stdexcept>

#include "platform/paths.h"
#include "sim/applet/field_reader.h"

namespace kilnsim {
namespace {

constexpr size_t kMaxStateFile = 256 * 1024;
constexpr size_t kMaxVersionText = 49;  // KILN_VERSION_INFO arrays hold 50 bytes with the NUL

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
  }
  return lines;
}

uint64_t ParseUnsigned(std::string_view text, uint64_t max, std::string_view line) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max) {
    throw std::runtime_error("bad number in state line '" + std::string(line) + "'");
  }
  return value;
}

std::string Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

bool VersionTable::Accepts(const std::string& name, uint64_t version) const {
  auto it = versions.find(name);
  return it != versions.end() ? version >= it->second : version > generation;
}

FirmwareInfo ParseFirmwareFile(const std::string& text) {
  FirmwareInfo info;
  for (std::string_view line : Lines(text)) {
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      throw std::runtime_error("firmware file: line without '=': '" + std::string(line) + "'");
    }
    const std::string key = Trimmed(line.substr(0, equals));
    const std::string value = Trimmed(line.substr(equals + 1));
    if (key == "version" || key == "platform") {
      if (value.size() > kMaxVersionText || !IsPrintable(value)) {
        throw std::runtime_error("firmware file: " + key +
                                 " must be printable and at most 49 bytes");
      }
      (key == "version" ? info.version : info.platform) = value;
    } else if (key == "svn") {
      info.svn = static_cast<uint32_t>(ParseUnsigned(value, 0x7FFFFFFF, line));
    }
    // Other keys are left for newer firmware.
  }
  return info;
}

std::string FormatFirmwareFile(const FirmwareInfo& info) {
  return "# Simulated firmware: reported version, platform text and security version (SVN).\n"
         "version=" +
         info.version + "\nplatform=" + info.platform + "\nsvn=" + std::to_string(info.svn) + "\n";
}

VersionTable ParseVersionsFile(const std::string& text) {
  VersionTable table;
  for (std::string_view line : Lines(text)) {
    if (line.empty() || line.front() == '#') continue;
    const auto space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
    if (key == "generation") {
      table.generation = ParseUnsigned(rest, UINT64_MAX, line);
    } else if (key == "reserved") {
      table.reserved = ParseUnsigned(rest, UINT64_MAX, line);
    } else if (key == "data-svn") {
      table.dataSvn = static_cast<uint32_t>(ParseUnsigned(rest, 0x7FFFFFFF, line));
    } else if (key == "file") {
      const auto split = rest.rfind(' ');
      if (split == std::string_view::npos || split == 0) {
        throw std::runtime_error("versions file: bad line '" + std::string(line) + "'");
      }
      table.versions[std::string(rest.substr(0, split))] =
          ParseUnsigned(rest.substr(split + 1), UINT64_MAX, line);
    } else {
      throw std::runtime_error("versions file: unknown line '" + std::string(line) + "'");
    }
  }
  table.reserved = std::max(table.reserved, table.generation);
  return table;
}

std::string FormatVersionsFile(const VersionTable& table) {
  std::string text = "generation " + std::to_string(table.generation) + "\nreserved " +
                     std::to_string(table.reserved) + "\ndata-svn " +
                     std::to_string(table.dataSvn) + "\n";
  for (const auto& [name, version] : table.versions) {
    text += "file " + name + " " + std::to_string(version) + "\n";
  }
  return text;
}

std::string Firmware::DefaultDirectory() {
  if (const char* dir = std::getenv(kStateDirEnv); dir && *dir) return dir;
  return platform::StateDirectory() + "/kiln-sim";
}

Firmware::Firmware(std::string stateDirectory, FirmwareOptions firmwareOptions,
                   std::shared_ptr<FaultInjector> faultPlan)
    : directory(std::move(stateDirectory)),
      options(firmwareOptions),
      faults(faultPlan ? std::move(faultPlan)
                       : std::make_shared<FaultInjector>(directory + "/faults")) {
  platform::CreateDirectories(directory, 0700);
  StateLock lock(PathOf("lock"), options.lockTimeout);
  const std::string keyPath = PathOf("device.key");
  if (std::optional<std::string> key = ReadSmallFile(keyPath, deviceKey.size() + 1)) {
    if (key->size() != deviceKey.size())
      throw std::runtime_error("device key " + keyPath + " is damaged");
    std::copy(key->begin(), key->end(), deviceKey.begin());
  } else {
    RandomBytes(deviceKey);
    ReplaceFile(keyPath,
                std::string_view(reinterpret_cast<const char*>(deviceKey.data()), deviceKey.size()),
                0600);
  }
  if (!StampOf(PathOf("firmware")).exists)
    ReplaceFile(PathOf("firmware"), FormatFirmwareFile({}), 0600);
}

FirmwareInfo Firmware::Info() {
  const std::string path = PathOf("firmware");
  const FileStamp stamp = StampOf(path);
  {
    keystone::MutexLock lock(mutex);
    if (stamp == infoStamp) return info;
  }
  // Read without the lock; a reader that loses a race stores content matching its own stamp.
  std::optional<std::string> text = ReadSmallFile(path, kMaxStateFile);
  FirmwareInfo fresh = text ? ParseFirmwareFile(*text) : FirmwareInfo{};
  keystone::MutexLock lock(mutex);
  info = fresh;
  infoStamp = stamp;
  return fresh;
}

uint32_t Firmware::EffectiveSvn() {
  const uint32_t svn = Info().svn;
  const std::optional<uint32_t> forced = faults->SvnOverride();
  return forced ? std::max(svn, *forced) : svn;
}

std::map<std::string, std::string> Firmware::ReadApplets() {
  std::map<std::string, std::string> applets;
  std::optional<std::string> text = ReadSmallFile(PathOf("applets"), kMaxStateFile);
  if (!text) return applets;
  for (std::string_view line : Lines(*text)) {
    if (line.empty() || line.front() == '#') continue;
    const auto space = line.find(' ');
    applets[std::string(line.substr(0, space))] =
        space == std::string_view::npos ? std::string() : std::string(line.substr(space + 1));
  }
  return applets;
}

void Firmware::WriteApplets(const std::map<std::string, std::string>& applets) {
  std::string text;
  for (const auto& [id, path] : applets) text += id + " " + path + "\n";
  ReplaceFile(PathOf("applets"), text, 0600, options.durableWrites);
}

std::optional<std::string> Firmware::InstalledImage(const std::string& appletId) {
  std::map<std::string, std::string> applets = ReadApplets();
  auto it = applets.find(appletId);
  if (it == applets.end()) return std::nullopt;
  return it->second;
}

void Firmware::Install(const std::string& appletId, const std::string& imagePath) {
  if (imagePath.find('\n') != std::string::npos)
    throw std::invalid_argument("image path holds a line break");
  StateLock lock(PathOf("lock"), options.lockTimeout);
  std::map<std::string, std::string> applets = ReadApplets();
  applets[appletId] = imagePath;
  WriteApplets(applets);
}

void Firmware::Uninstall(const std::string& appletId) {
  StateLock lock(PathOf("lock"), options.lockTimeout);
  std::map<std::string, std::string> applets = ReadApplets();
  if (applets.erase(appletId) != 0) WriteApplets(applets);
}

SealingKey Firmware::KeyFor(uint32_t svn) {
  {
    keystone::MutexLock lock(mutex);
    if (auto it = keys.find(svn); it != keys.end()) return it->second;
  }
  const SealingKey key = DeriveSealingKey(deviceKey, svn);
  keystone::MutexLock lock(mutex);
  keys.emplace(svn, key);
  return key;
}

VersionTable Firmware::ReadVersionsFile() {
  std::optional<std::string> text = ReadSmallFile(PathOf("versions"), kMaxStateFile);
  return text ? ParseVersionsFile(*text) : VersionTable{};
}

void Firmware::WriteVersionsFile(const VersionTable& table) {
  ReplaceFile(PathOf("versions"), FormatVersionsFile(table), 0600, options.durableWrites);
}

VersionTable Firmware::Versions() {
  const FileStamp stamp = StampOf(PathOf("versions"));
  {
    keystone::MutexLock lock(mutex);
    if (stamp == versionsStamp) return versionsCache;
  }
  VersionTable fresh = ReadVersionsFile();
  keystone::MutexLock lock(mutex);
  versionsCache = fresh;
  versionsStamp = stamp;
  return fresh;
}

uint64_t Firmware::ReserveGeneration() {
  StateLock lock(PathOf("lock"), options.lockTimeout);
  VersionTable table = ReadVersionsFile();
  table.reserved = std::max(table.reserved, table.generation) + 1;
  WriteVersionsFile(table);
  return table.reserved;
}

void Firmware::Commit(const VersionChange& change) {
  StateLock lock(PathOf("lock"), options.lockTimeout);
  VersionTable table = ReadVersionsFile();
  const bool hadData = !table.versions.empty();
  if (change.removeAll) table.versions.clear();
  for (const std::string& prefix : change.removePrefixes) {
    std::erase_if(table.versions,
                  [&](const auto& entry) { return entry.first.starts_with(prefix); });
  }
  for (const auto& [name, version] : change.set) table.versions[name] = version;
  table.generation = std::max(table.generation, change.generation);
  table.reserved = std::max(table.reserved, table.generation);
  if (change.dataSvn) {
    table.dataSvn = *change.dataSvn;
  } else if (!hadData && !change.set.empty()) {
    table.dataSvn = change.sealSvn;
  }
  WriteVersionsFile(table);
}

uint64_t Firmware::UptimeMs() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count());
}

}  // namespace kilnsim
