#pragma once

// Fakes the certificate tests share: a wall clock the test sets, revocation lists by URL, an
// HTTP client that serves documents from memory, and a signature check.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/http_fetch.h"
#include "smartcard/cert_crl_source.h"
#include "tests/fakes/test_pki.h"

namespace keystone::testing {

// Wall-clock time the test sets; steady time runs.
class SetClock : public platform::Clock {
 public:
  platform::Ticks SteadyNow() const override { return platform::SystemClock().SteadyNow(); }
  int64_t UnixSeconds() const override { return now.load(); }
  void Advance(std::chrono::seconds by) { now += by.count(); }

 private:
  std::atomic<int64_t> now{static_cast<int64_t>(::time(nullptr))};
};

// Hands out the lists it holds, parsed afresh, without checking who signed them. Set the lists
// before calls begin; calls may then come from several threads.
class MapCrlSource : public CertificateStore::CrlSource {
 public:
  std::map<std::string, Der> lists;
  std::vector<std::string> asked;

  std::vector<CertificateStore::CrlPtr> CrlsFor(const std::vector<std::string>& urls,
                                                const std::vector<X509*>&) override {
    std::lock_guard lock(mutex);
    std::vector<CertificateStore::CrlPtr> crls;
    for (const std::string& url : urls) {
      asked.push_back(url);
      if (auto found = lists.find(url); found != lists.end()) {
        crls.push_back(CertificateStore::ParseCrl(found->second));
      }
    }
    return crls;
  }

 private:
  std::mutex mutex;
};

// Serves documents by URL; an unknown URL fails as an unreachable server does.
class MemoryHttpFetch : public platform::HttpFetch {
 public:
  std::vector<uint8_t> Get(const std::string& url, std::chrono::milliseconds limit,
                           size_t maxBytes) override {
    std::lock_guard lock(mutex);
    gets.push_back(url);
    limits.push_back(limit);
    lastMaxBytes = maxBytes;
    auto found = documents.find(url);
    if (found == documents.end()) throw platform::HttpFetchError(url + ": unreachable");
    if (found->second.size() > maxBytes) throw platform::HttpFetchError(url + ": too large");
    return found->second;
  }

  void Serve(const std::string& url, Der body) {
    std::lock_guard lock(mutex);
    documents[url] = std::move(body);
  }
  void Forget(const std::string& url) {
    std::lock_guard lock(mutex);
    documents.erase(url);
  }
  size_t Gets() {
    std::lock_guard lock(mutex);
    return gets.size();
  }

  std::mutex mutex;
  std::map<std::string, Der> documents;
  std::vector<std::string> gets;
  std::vector<std::chrono::milliseconds> limits;
  size_t lastMaxBytes = 0;
};

// Whether signature is the SHA-256 signature of data with the certificate's key.
inline bool SignatureVerifies(const TestCertificate& certificate, const Der& data,
                              const Der& signature) {
  const unsigned char* p = certificate.der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(certificate.der.size()));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, X509_get0_pubkey(x)) == 1 &&
      EVP_DigestVerify(ctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  X509_free(x);
  return ok;
}

}  // namespace keystone::testing
