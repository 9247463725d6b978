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
constexpr const char* kCannotCreateBase = "Cannot create MfaBaseDataDirectory directory";
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

// The file of a full name inside the base directory; refuses names that could leave it.
std::string FileNameOf(const std::string& fullName) {
  if (!IsSafeName(fullName)) RefuseName(fullName);
  if (fullName == "policy") return std::string("_Policy") + kSecureDataExtension;
  if (fullName == "enrollmentData") return std::string("_EnrollmentData") + kSecureDataExtension;
  return fullName + kSecureDataExtension;
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
  std::shared_ptr<platform::Directory> listed;
  try {
    listed = fileSystem->OpenDirectory(directoryPart.empty() ? "." : directoryPart);
  } catch (const std::system_error& e) {
    // A missing directory holds no matching names (the Logs directory, for one, is not ours).
    if (e.code() == std::errc::no_such_file_or_directory) {
      directory.reset();
      files.clear();
      return;
    }
    ThrowListingFailure(e);
  }
  EnumerateFiles(std::move(listed), directoryPart,
                 std::string_view(pattern).substr(directoryPart.size()));
}

void FileManager::EnumerateFiles(std::shared_ptr<platform::Directory> listed,
                                 const std::string& directoryPart, std::string_view namePattern) {
  std::vector<std::string> names;
  try {
    names = listed->List();
  } catch (const std::system_error& e) {
    ThrowListingFailure(e);
  }
  std::set<std::string> found;
  for (const std::string& name : names) {
    if (MatchesWildcard(namePattern, name)) found.insert(directoryPart + name);
  }
  files = std::move(found);
  directory = std::move(listed);
  prefix = directoryPart;
}

void FileManager::ThrowListingFailure(const std::system_error& e) {
  KS_LOG(Log(), kLogError, "FLOW", "FindFirstFile failed (%#X)",
         static_cast<unsigned>(e.code().value()));
  throw std::runtime_error("FindFirstFile failed");
}

bool FileManager::DeleteFiles() {
  bool allDeleted = true;
  for (const std::string& path : files) {
    try {
      // Relative to the directory that was listed, so a path component swapped meanwhile
      // cannot redirect the deletion.
      if (directory && path.compare(0, prefix.size(), prefix) == 0) {
        directory->DeleteFile(path.substr(prefix.size()));
      } else {
        fileSystem->DeleteFile(path);
      }
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

std::unique_ptr<platform::Directory> DataController::OpenDataRoot(const std::string& root,
                                                                  bool create) const {
  if (root.empty()) RefuseDirectory(root, "the path is empty");
  if (root.front() != '/') RefuseDirectory(root, "it is not an absolute path");
  std::unique_ptr<platform::Directory> directory;
  try {
    try {
      directory = fileSystem->OpenDirectory(root);
    } catch (const std::system_error& e) {
      if (!create || e.code() != std::errc::no_such_file_or_directory) throw;
      fileSystem->CreateDirectories(root);
      directory = fileSystem->OpenDirectory(root);
    }
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::too_many_symbolic_link_levels) {
      RefuseDirectory(root, "it is a symbolic link");
    }
    // Without create, a missing root simply holds nothing.
    if (!create && e.code() == std::errc::no_such_file_or_directory) return nullptr;
    KS_LOG(Log(), kLogError, "FLOW", "Opening %s failed: %s", root.c_str(), e.what());
    throw std::runtime_error(kCannotCreateBase);
  }
  CheckControlled(*directory, root);
  return directory;
}

DataController::BaseDirectory DataController::OpenBaseDirectory() const {
  const std::string root = GetDataDirectory();
  std::unique_ptr<platform::Directory> rootDirectory = OpenDataRoot(root, true);
  BaseDirectory base{root + "/Data", nullptr};
  try {
    base.directory = rootDirectory->OpenDirectory("Data", true);
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::too_many_symbolic_link_levels) {
      RefuseDirectory(base.path, "it is a symbolic link");
    }
    KS_LOG(Log(), kLogError, "FLOW", "Creating %s failed: %s", base.path.c_str(), e.what());
    throw std::runtime_error(kCannotCreateBase);
  }
  CheckControlled(*base.directory, base.path);
  return base;
}

void DataController::CheckControlled(platform::Directory& directory,
                                     const std::string& path) const {
  platform::DirectoryAccess access;
  try {
    access = directory.Access();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Checking %s failed: %s", path.c_str(), e.what());
    throw std::runtime_error(kCannotCreateBase);
  }
  if (!access.ownedByProcessUser) RefuseDirectory(path, "it belongs to another user");
  if (access.writableByOthers) RefuseDirectory(path, "other users may write to it");
}

void DataController::RefuseDirectory(const std::string& path, const char* reason) const {
  KS_LOG(Log(), kLogError, "FLOW", "Refusing the data directory \"%s\": %s", path.c_str(), reason);
  throw std::runtime_error(kCannotCreateBase);
}

std::string DataController::GetBaseDataDirectory() const { return OpenBaseDirectory().path; }

std::string DataController::GetSecureDataFilePath(const std::string& fullName) const {
  // The name is judged before the base directory is made.
  const std::string fileName = FileNameOf(fullName);
  return GetBaseDataDirectory() + "/" + fileName;
}

bool DataController::SecureDataFileExists(const std::string& fullName) const {
  const std::string fileName = FileNameOf(fullName);
  return OpenBaseDirectory().directory->Exists(fileName);
}

void DataController::WriteSecureDataFile(const std::string& fullName,
                                         std::span<const uint8_t> bytes) const {
  const std::string fileName = FileNameOf(fullName);
  const BaseDirectory base = OpenBaseDirectory();
  const std::string path = base.path + "/" + fileName;
  try {
    base.directory->ReplaceFile(fileName, bytes);
  } catch (const platform::FileWriteError& e) {
    // The replacement's steps under the texts of the create, write and flush of a whole file:
    // the temporary's creation is the create, and everything that makes it durable and puts it
    // in place is the flush.
    switch (e.Step()) {
      case platform::WriteStep::kCreate:
        throw GeneralException("CreateFile failed", path, e.what());
      case platform::WriteStep::kWrite:
        throw GeneralException("WriteFile failed", path, e.what());
      case platform::WriteStep::kFlush:
      case platform::WriteStep::kRename:
      case platform::WriteStep::kFlushDirectory:
        break;
    }
    throw GeneralException("FlushFileBuffers failed", path, e.what());
  }
}

Bytes DataController::ReadSecureDataFile(const std::string& fullName) const {
  const std::string fileName = FileNameOf(fullName);
  const BaseDirectory base = OpenBaseDirectory();
  if (!base.directory->Exists(fileName)) return {};
  try {
    return base.directory->ReadFile(fileName, kMaxSecureDataFileSize);
  } catch (const std::system_error& e) {
    throw GeneralException("ReadFile failed", base.path + "/" + fileName, e.what());
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
  return DeleteMatching(prefix + "*" + kSecureDataExtension);
}

bool DataController::DeleteAllSecureDataFiles() const {
  return DeleteMatching(std::string("*") + kSecureDataExtension);
}

bool DataController::DeleteUsersStoredSecureDataFiles() const {
  KS_LOG(Log(), kLogInfo, "FLOW", "DeleteUsersPasswordsFiles ");
  return DeleteMatching(std::string("*$A*") + kSecureDataExtension);
}

FileManager DataController::EnumerateSecureDataFiles() const {
  return EnumerateBase(std::string("*") + kSecureDataExtension);
}

FileManager DataController::EnumerateBase(const std::string& namePattern) const {
  BaseDirectory base = OpenBaseDirectory();
  FileManager manager(*fileSystem);
  manager.EnumerateFiles(std::move(base.directory), base.path + "/", namePattern);
  return manager;
}

bool DataController::DeleteMatching(const std::string& namePattern) const {
  return EnumerateBase(namePattern).DeleteFiles();
}

size_t DataController::RemoveInterruptedWrites() const {
  try {
    const size_t removed = OpenBaseDirectory().directory->RemoveInterruptedWrites();
    if (removed > 0) {
      KS_LOG(Log(), kLogWarning, "FLOW",
             "Removed %zu temporary file(s) of interrupted writes from the data directory",
             removed);
    }
    return removed;
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Cleaning up interrupted writes failed (%s)", e.what());
    return 0;
  }
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
  const std::string root = GetDataDirectory();
  if (std::unique_ptr<platform::Directory> rootDirectory = OpenDataRoot(root, false)) {
    std::shared_ptr<platform::Directory> logs;
    try {
      logs = rootDirectory->OpenDirectory("Logs", false);
    } catch (const std::system_error& e) {
      // The engine does not make this directory; without it there is nothing to prune.
      if (e.code() != std::errc::no_such_file_or_directory) throw;
    }
    if (logs) manager.EnumerateFiles(std::move(logs), root + "/Logs/", prefix + "*.etl");
  }

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
  AppendTlv(out, piggyback_tag::kFileName, fullName);
  AppendTlv(out, piggyback_tag::kFileContent, content);
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
