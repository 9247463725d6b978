#include "storage/data_controller.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "log/logger.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "tlv/host_messages.h"

namespace mfab {
namespace {

constexpr const char* kDataDirValue = "DataDir";
constexpr const char* kMasterVersionsName = "_masterVersions";
constexpr const char* kSecureDataExtension = ".SDS";
constexpr const char* kLogPrefixes[] = {"Keystone_Engine_Logs", "Vox_Scr_Logs"};
// Each log prefix keeps this many of its newest files.
constexpr size_t kLogsKept = 2;

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// A name from the applet must stay a plain file name inside the base directory.
bool IsSafeName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos && name.find("..") == std::string_view::npos;
}

// An empty prefix is allowed: it stands for every file.
bool IsSafePrefix(std::string_view prefix) { return prefix.empty() || IsSafeName(prefix); }

[[noreturn]] void RefuseName(const std::string& name) {
  KS_LOG(Log(), kLogError, "FLOW", "Refused secure-data file name \"%s\" (%zu bytes)", name.c_str(),
         name.size());
  throw GeneralException("Refused secure-data file name: it would leave the data directory");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// FileManager

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  size_t p = 0;
  size_t n = 0;
  size_t starPattern = std::string_view::npos;
  size_t starName = 0;
  // Greedy walk that backs up to the last '*' on a mismatch: linear in practice, no recursion.
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starPattern = p++;
      starName = n;
    } else if (starPattern != std::string_view::npos) {
      p = starPattern + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

FileManager::FileManager(platform::FileSystem& fileSystemToUse) : fileSystem(&fileSystemToUse) {}

void FileManager::EnumerateFiles(const std::string& pattern) {
  const size_t slash = pattern.rfind('/');
  const std::string directoryPart =
      slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  const std::string_view namePattern = std::string_view(pattern).substr(directoryPart.size());

  std::vector<std::string> names;
  try {
    names = fileSystem->ListDirectory(directoryPart.empty() ? "." : directoryPart);
  } catch (const std::system_error& e) {
    // A missing directory holds no matching names (the Logs directory, for one, is not ours).
    if (e.code() == std::errc::no_such_file_or_directory) {
      files.clear();
      return;
    }
    KS_LOG(Log(), kLogError, "FLOW", "FindFirstFile failed (%#X)",
           static_cast<unsigned>(e.code().value()));
    throw std::runtime_error("FindFirstFile failed");
  }
  std::set<std::string> found;
  for (const std::string& name : names) {
    if (MatchesWildcard(namePattern, name)) found.insert(directoryPart + name);
  }
  files = std::move(found);
}

bool FileManager::DeleteFiles() {
  bool allDeleted = true;
  for (const std::string& path : files) {
    try {
      fileSystem->DeleteFile(path);
    } catch (const std::system_error& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Failed deleting file (%#X)",
             static_cast<unsigned>(e.code().value()));
      allDeleted = false;
    }
  }
  return allDeleted;
}

// ---------------------------------------------------------------------------------------------
// DataController

DataController::DataController(platform::Registry& registryToUse,
                               platform::FileSystem& fileSystemToUse)
    : registry(&registryToUse), fileSystem(&fileSystemToUse) {}

DataController& DataController::Default() {
  static DataController controller(platform::SystemRegistry(), platform::SystemFileSystem());
  return controller;
}

std::string DataController::GetDataDirectory() const {
  std::string root;
  bool fromRegistry = false;
  try {
    if (std::optional<std::string> value =
            platform::ReadRegistryString(*registry, keystone::kEngineKey, kDataDirValue)) {
      root = std::move(*value);
      fromRegistry = true;
    }
  } catch (const std::exception&) {
    // A value that cannot be read counts as no value.
  }
  if (!fromRegistry) {
    try {
      root = platform::StateDirectory();
    } catch (const std::exception&) {
      root.clear();
    }
    if (root.empty()) throw GeneralException("No ProgramData Folder");
  }
  // An empty DataDir stays empty: the registry text is used as it stands.
  if (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

std::string DataController::GetBaseDataDirectory() const {
  std::string base = GetDataDirectory() + "/Data";
  if (!fileSystem->Exists(base)) {
    try {
      fileSystem->CreateDirectories(base);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Creating %s failed: %s", base.c_str(), e.what());
      throw std::runtime_error("Cannot create MfaBaseDataDirectory directory");
    }
  }
  return base;
}

std::string DataController::GetSecureDataFilePath(const std::string& fullName) const {
  if (!IsSafeName(fullName)) RefuseName(fullName);
  std::string fileName = fullName;
  if (fileName == "policy") {
    fileName = "_Policy";
  } else if (fileName == "enrollmentData") {
    fileName = "_EnrollmentData";
  }
  return GetBaseDataDirectory() + "/" + fileName + kSecureDataExtension;
}

bool DataController::SecureDataFileExists(const std::string& fullName) const {
  return fileSystem->Exists(GetSecureDataFilePath(fullName));
}

void DataController::WriteSecureDataFile(const std::string& fullName,
                                         std::span<const uint8_t> bytes) const {
  const std::string path = GetSecureDataFilePath(fullName);
  try {
    fileSystem->WriteFile(path, bytes);
  } catch (const platform::FileWriteError& e) {
    switch (e.Step()) {
      case platform::WriteStep::kCreate:
        throw GeneralException("CreateFile failed", path, e.what());
      case platform::WriteStep::kWrite:
        throw GeneralException("WriteFile failed", path, e.what());
      case platform::WriteStep::kFlush:
        break;
    }
    throw GeneralException("FlushFileBuffers failed", path, e.what());
  }
}

Bytes DataController::ReadSecureDataFile(const std::string& fullName) const {
  const std::string path = GetSecureDataFilePath(fullName);
  if (!fileSystem->Exists(path)) return {};
  try {
    return fileSystem->ReadFile(path, kMaxSecureDataFileSize);
  } catch (const std::system_error& e) {
    throw GeneralException("ReadFile failed", path, e.what());
  }
}

void DataController::SaveSecureDataFiles(std::span<const uint8_t> masterVersions,
                                         const std::string& secondName,
                                         std::span<const uint8_t> secondData,
                                         const std::string& firstName,
                                         std::span<const uint8_t> firstData) const {
  WriteSecureDataFile(kMasterVersionsName, masterVersions);
  WriteSecureDataFile(secondName, secondData);
  WriteSecureDataFile(firstName, firstData);
}

void DataController::SaveSecureDataFiles(const SaveRequest& request) const {
  SaveSecureDataFiles(request.masterVersionsData, request.secondFileName, request.secondFileData,
                      request.firstFileName, request.firstFileData);
}

bool DataController::DeleteLevel1Files(const DeleteLevel1Request& request) const {
  return DeleteLevel1Files(request.masterVersionsData, request.namePrefix);
}

bool DataController::DeleteLevel1Files(std::span<const uint8_t> masterVersions,
                                       const std::string& prefix) const {
  // Refused before anything changes, so a bad request leaves the directory as it was.
  if (!IsSafePrefix(prefix)) RefuseName(prefix);
  try {
    WriteSecureDataFile(kMasterVersionsName, masterVersions);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Writing %s failed: %s", kMasterVersionsName, e.what());
    return false;
  }
  return DeleteMatching(GetBaseDataDirectory() + "/" + prefix + "*" + kSecureDataExtension);
}

bool DataController::DeleteAllSecureDataFiles() const {
  return DeleteMatching(GetBaseDataDirectory() + "/*" + kSecureDataExtension);
}

bool DataController::DeleteUsersStoredSecureDataFiles() const {
  KS_LOG(Log(), kLogInfo, "FLOW", "DeleteUsersPasswordsFiles ");
  return DeleteMatching(GetBaseDataDirectory() + "/*$A*" + kSecureDataExtension);
}

FileManager DataController::EnumerateSecureDataFiles() const {
  FileManager manager(*fileSystem);
  manager.EnumerateFiles(GetBaseDataDirectory() + "/*" + kSecureDataExtension);
  return manager;
}

bool DataController::DeleteMatching(const std::string& pattern) const {
  FileManager manager(*fileSystem);
  manager.EnumerateFiles(pattern);
  return manager.DeleteFiles();
}

bool DataController::DeleteEtlLogs() const {
  KS_LOG(Log(), kLogInfo, "FLOW", "DeleteEtlLogs ");
  try {
    for (const char* prefix : kLogPrefixes) DeleteOldLogs(prefix);
  } catch (const GeneralException& e) {
    KS_LOG(Log(), kLogInfo, "FLOW", "DeleteEtlLogs error: %s", e.what());
    return false;
  } catch (...) {
    KS_LOG(Log(), kLogInfo, "FLOW", "DeleteEtlLogs unknow error");
    return false;
  }
  return true;
}

void DataController::DeleteOldLogs(const std::string& prefix) const {
  FileManager manager(*fileSystem);
  manager.EnumerateFiles(GetDataDirectory() + "/Logs/" + prefix + "*.etl");

  // Newest first; a file with exactly the time of an earlier one takes over its slot, so the
  // earlier twin is deleted.
  std::map<platform::FileTime, std::string, std::greater<>> newestFirst;
  const std::vector<std::string> paths(manager.Files().begin(), manager.Files().end());
  for (const std::string& path : paths) {
    platform::FileTime lastWrite{};
    if (!getTimeFromFile(path, lastWrite)) {
      manager.Remove(path);
      continue;
    }
    newestFirst[lastWrite] = path;
  }
  size_t kept = 0;
  for (auto it = newestFirst.begin(); it != newestFirst.end() && kept < kLogsKept; ++it, ++kept) {
    manager.Remove(it->second);
  }
  manager.DeleteFiles();
}

bool DataController::getTimeFromFile(const std::string& path,
                                     platform::FileTime& lastWriteTime) const {
  try {
    lastWriteTime = fileSystem->LastWriteTime(path);
    return true;
  } catch (const std::system_error& e) {
    KS_LOG(Log(), kLogInfo, "FLOW", "CreateFile failed with %d", e.code().value());
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// DataFile

DataFile::DataFile(const DataController& controllerToUse,
                   std::shared_ptr<const DataFile> parentFile, std::string ownName)
    : controller(&controllerToUse), parent(std::move(parentFile)), name(std::move(ownName)) {
  // Both parts are fixed for the object's life, so the full name is built once.
  fullName = parent ? parent->GetFullName() + "$" + name : name;
}

bool DataFile::Exists() const { return controller->SecureDataFileExists(fullName); }

Bytes DataFile::Encode() const {
  const Bytes content = controller->ReadSecureDataFile(fullName);
  Bytes out;
  AppendTlv(out, kTagFileName, fullName);
  AppendTlv(out, kTagFileContent, content);
  return out;
}

// ---------------------------------------------------------------------------------------------
// BinaryFileHandler

BinaryFileHandler::BinaryFileHandler(platform::FileSystem& fileSystemToUse)
    : fileSystem(&fileSystemToUse) {}

bool BinaryFileHandler::Read(const std::string& path, std::vector<uint8_t>& bytes) {
  try {
    std::vector<uint8_t> content = fileSystem->ReadFile(path, kMaxFileSize);
    if (content.empty()) return false;
    bytes = std::move(content);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool BinaryFileHandler::Write(const std::string& directory, const std::string& fileName,
                              std::span<const uint8_t> bytes) {
  try {
    fileSystem->CreateDirectories(directory);
  } catch (const std::exception&) {
    return false;
  }
  const bool needsSeparator = !directory.empty() && directory.back() != '/';
  return Write(directory + (needsSeparator ? "/" : "") + fileName, bytes);
}

bool BinaryFileHandler::Write(const std::string& path, std::span<const uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) return false;
  try {
    fileSystem->WriteFile(path, bytes);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace mfab
