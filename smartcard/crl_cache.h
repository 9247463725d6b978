#pragma once

// Revocation lists by distribution point, kept on disk until their nextUpdate so that a machine
// that is offline keeps verifying inside that window.
//
//   <data root>/CrlCache/<sha256 of the URL, lower-case hex>.crl
//                      one list, DER, exactly as published; replaced atomically
//
// A list is taken (from memory, disk or network, in that order) only when a certificate the
// caller names as a possible issuer signed it; a forged or damaged list is dropped. A list past
// its nextUpdate is fetched again; one without nextUpdate is used once and not kept. At most
// maxFiles lists are kept; the oldest written go first.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "platform/clock.h"
#include "platform/directory.h"
#include "platform/http_fetch.h"
#include "smartcard/cert_crl_source.h"

namespace platform {
class FileSystem;
}  // namespace platform

namespace mfab {
class DataController;
}  // namespace mfab

namespace CertificateStore {

struct CrlCacheOptions {
  // For all downloads of one CrlsFor call together.
  std::chrono::milliseconds retrievalLimit = std::chrono::seconds(10);
  size_t maxCrlSize = 8 * 1024 * 1024;
  size_t maxFiles = 64;
  size_t maxUrlsPerCall = 8;
  size_t maxUrlLength = 2048;
};

// Thread-safe. Downloads happen outside the lock; two threads may fetch the same list at once
// and the later write wins (both are the same document).
class CrlCache : public CrlSource {
 public:
  // Opens the cache directory (creating it); throws when it cannot or must not be used, and the
  // cache then works from memory and the network only.
  using DirectoryOpener = std::function<std::unique_ptr<platform::Directory>()>;

  CrlCache(DirectoryOpener openDirectory, platform::HttpFetch& fetch, platform::Clock& clock,
           CrlCacheOptions options = {});

  std::vector<CrlPtr> CrlsFor(const std::vector<std::string>& urls,
                              const std::vector<X509*>& possibleIssuers) override;

  // The file name a URL's list is kept under.
  static std::string FileNameOf(const std::string& url);

 private:
  struct Entry {
    std::shared_ptr<X509_CRL> crl;
    int64_t nextUpdate = 0;  // seconds since 1970
  };

  CrlPtr Lookup(const std::string& url, const std::vector<X509*>& issuers,
                std::chrono::steady_clock::time_point deadline);
  CrlPtr FromMemory(const std::string& url);
  CrlPtr FromDisk(const std::string& url, const std::vector<X509*>& issuers);
  CrlPtr FromNetwork(const std::string& url, const std::vector<X509*>& issuers,
                     std::chrono::steady_clock::time_point deadline);
  // Whether the list is signed by one of issuers; logs why not.
  bool Authentic(X509_CRL* crl, const std::vector<X509*>& issuers, const std::string& url) const;
  // Whether the list's nextUpdate is still ahead; its nextUpdate goes to nextUpdate.
  bool Current(X509_CRL* crl, int64_t& nextUpdate) const;
  void Remember(const std::string& url, X509_CRL* crl, int64_t nextUpdate);
  void Store(const std::string& url, const std::vector<uint8_t>& der);
  // The cache directory, opened on first use; null when it cannot be used.
  std::shared_ptr<platform::Directory> CacheDirectory();

  DirectoryOpener openDirectory;
  platform::HttpFetch* fetch;
  platform::Clock* clock;
  CrlCacheOptions options;

  keystone::Mutex mutex;  // Guards the members below.
  std::map<std::string, Entry> memory GUARDED_BY(mutex);
  std::shared_ptr<platform::Directory> directory GUARDED_BY(mutex);
  bool directoryTried GUARDED_BY(mutex) = false;
};

// The cache directory under the engine's data root: the root and its Data directory are checked
// (and created) as the data controller does, then CrlCache is opened or made there. Throws when
// the root is refused or the directory is not the engine's alone.
std::unique_ptr<platform::Directory> OpenCrlCacheDirectory(const mfab::DataController& data,
                                                           platform::FileSystem& fileSystem);

}  // namespace CertificateStore
