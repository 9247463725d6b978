#include "smartcard/crl_cache.h"

#include <openssl/err.h>

#include <algorithm>
#include <system_error>

#include "log/logger.h"
#include "platform/file_system.h"
#include "storage/data_controller.h"

namespace CertificateStore {
namespace {

constexpr const char* kCacheDirectoryName = "CrlCache";

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

std::string UrlHash(const std::string& url) {
  const std::vector<uint8_t> bytes(url.begin(), url.end());
  return HexText(Digest(bytes, HashAlgorithm::kSha256));
}

}  // namespace

CrlCache::CrlCache(DirectoryOpener opener, platform::HttpFetch& fetcher, platform::Clock& clockToUse,
                   CrlCacheOptions cacheOptions)
    : openDirectory(std::move(opener)),
      fetch(&fetcher),
      clock(&clockToUse),
      options(cacheOptions) {}

std::string CrlCache::FileNameOf(const std::string& url) { return UrlHash(url) + ".crl"; }

std::vector<CrlPtr> CrlCache::CrlsFor(const std::vector<std::string>& urls,
                                      const std::vector<X509*>& possibleIssuers) {
  const auto deadline = std::chrono::steady_clock::now() + options.retrievalLimit;
  std::vector<CrlPtr> crls;
  std::vector<std::string> seen;
  for (const std::string& url : urls) {
    if (seen.size() >= options.maxUrlsPerCall) break;
    if (url.size() > options.maxUrlLength ||
        std::find(seen.begin(), seen.end(), url) != seen.end()) {
      continue;
    }
    seen.push_back(url);
    if (CrlPtr crl = Lookup(url, possibleIssuers, deadline)) crls.push_back(std::move(crl));
  }
  return crls;
}

CrlPtr CrlCache::Lookup(const std::string& url, const std::vector<X509*>& issuers,
                        std::chrono::steady_clock::time_point deadline) {
  if (CrlPtr crl = FromMemory(url)) return crl;
  if (CrlPtr crl = FromDisk(url, issuers)) return crl;
  return FromNetwork(url, issuers, deadline);
}

CrlPtr CrlCache::FromMemory(const std::string& url) {
  keystone::MutexLock lock(mutex);
  auto found = memory.find(url);
  if (found == memory.end()) return nullptr;
  if (found->second.nextUpdate <= clock->UnixSeconds()) {
    memory.erase(found);
    return nullptr;
  }
  return Share(found->second.crl.get());
}

CrlPtr CrlCache::FromDisk(const std::string& url, const std::vector<X509*>& issuers) {
  std::shared_ptr<platform::Directory> dir = CacheDirectory();
  if (!dir) return nullptr;
  const std::string name = FileNameOf(url);
  std::vector<uint8_t> bytes;
  try {
    if (!dir->Exists(name)) return nullptr;
    bytes = dir->ReadFile(name, options.maxCrlSize);
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL cache: cannot read %s: %s", name.c_str(),
           e.what());
    return nullptr;
  }
  CrlPtr crl = ParseCrl(bytes);
  int64_t nextUpdate = 0;
  if (!crl || !Authentic(crl.get(), issuers, url) || !Current(crl.get(), nextUpdate)) {
    return nullptr;
  }
  Remember(url, crl.get(), nextUpdate);
  return crl;
}

CrlPtr CrlCache::FromNetwork(const std::string& url, const std::vector<X509*>& issuers,
                             std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left <= std::chrono::milliseconds(0)) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL %s skipped: retrieval time used up",
           url.c_str());
    return nullptr;
  }
  std::vector<uint8_t> bytes;
  try {
    bytes = fetch->Get(url, left, options.maxCrlSize);
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL download failed: %s", e.what());
    return nullptr;
  }
  CrlPtr crl = ParseCrl(bytes);
  if (!crl) {
    TakeOpenSslError();
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL from %s does not parse", url.c_str());
    return nullptr;
  }
  if (!Authentic(crl.get(), issuers, url)) return nullptr;
  int64_t nextUpdate = 0;
  if (Current(crl.get(), nextUpdate)) {
    Remember(url, crl.get(), nextUpdate);
    Store(url, EncodeCrl(crl.get()));
  }
  return crl;
}

bool CrlCache::Authentic(X509_CRL* crl, const std::vector<X509*>& issuers,
                         const std::string& url) const {
  const X509_NAME* issuerName = X509_CRL_get_issuer(crl);
  for (X509* candidate : issuers) {
    if (X509_NAME_cmp(X509_get_subject_name(candidate), issuerName) != 0) continue;
    EVP_PKEY* key = X509_get0_pubkey(candidate);
    if (key != nullptr && X509_CRL_verify(crl, key) == 1) return true;
  }
  TakeOpenSslError();
  KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL from %s is not signed by its issuer", url.c_str());
  return false;
}

bool CrlCache::Current(X509_CRL* crl, int64_t& nextUpdate) const {
  return UnixTimeOf(X509_CRL_get0_nextUpdate(crl), nextUpdate) &&
         nextUpdate > clock->UnixSeconds();
}

void CrlCache::Remember(const std::string& url, X509_CRL* crl, int64_t nextUpdate) {
  keystone::MutexLock lock(mutex);
  if (memory.size() >= options.maxFiles && !memory.contains(url)) {
    // Forget the list that runs out first; it would be fetched again soonest anyway.
    auto first = std::min_element(memory.begin(), memory.end(), [](const auto& a, const auto& b) {
      return a.second.nextUpdate < b.second.nextUpdate;
    });
    memory.erase(first);
  }
  memory[url] = Entry{std::shared_ptr<X509_CRL>(Share(crl).release(), X509_CRL_free), nextUpdate};
}

void CrlCache::Store(const std::string& url, const std::vector<uint8_t>& der) {
  std::shared_ptr<platform::Directory> dir = CacheDirectory();
  if (!dir || der.empty()) return;
  const std::string name = FileNameOf(url);
  try {
    std::vector<std::string> names = dir->List();
    std::erase_if(names, [&](const std::string& n) {
      return n == name || n.size() < 4 || n.compare(n.size() - 4, 4, ".crl") != 0;
    });
    // Make room: the lists written longest ago go first.
    if (names.size() + 1 > options.maxFiles) {
      std::vector<std::pair<platform::FileTime, std::string>> byAge;
      for (const std::string& n : names) {
        try {
          byAge.emplace_back(dir->LastWriteTime(n), n);
        } catch (const std::system_error&) {
          // Gone meanwhile, or not a regular file: nothing to make room from.
        }
      }
      std::sort(byAge.begin(), byAge.end());
      const size_t excess = names.size() + 1 - options.maxFiles;
      for (size_t i = 0; i < excess && i < byAge.size(); ++i) dir->DeleteFile(byAge[i].second);
    }
    dir->ReplaceFile(name, der);
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL cache: cannot write %s: %s", name.c_str(),
           e.what());
  }
}

std::shared_ptr<platform::Directory> CrlCache::CacheDirectory() {
  {
    keystone::MutexLock lock(mutex);
    if (directoryTried) return directory;
  }
  std::shared_ptr<platform::Directory> opened;
  try {
    opened = openDirectory ? std::shared_ptr<platform::Directory>(openDirectory()) : nullptr;
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "CRL cache directory not used: %s", e.what());
  }
  keystone::MutexLock lock(mutex);
  if (!directoryTried) {
    directoryTried = true;
    directory = std::move(opened);
  }
  return directory;
}

std::unique_ptr<platform::Directory> OpenCrlCacheDirectory(const mfab::DataController& data,
                                                           platform::FileSystem& fileSystem) {
  data.GetBaseDataDirectory();  // checks the root (and makes it) as for every data file
  std::unique_ptr<platform::Directory> root = fileSystem.OpenDirectory(data.GetDataDirectory());
  std::unique_ptr<platform::Directory> cache = root->OpenDirectory(kCacheDirectoryName, true);
  const platform::DirectoryAccess access = cache->Access();
  if (!access.ownedByProcessUser || access.writableByOthers) {
    throw std::runtime_error(std::string(kCacheDirectoryName) +
                             " is not the engine's alone (owner or permissions)");
  }
  return cache;
}

}  // namespace CertificateStore
