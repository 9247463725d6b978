// The handler as the engine uses it: PC/SC readers, the registry's PKCS#11 module, and the
// revocation-list cache in the data directory, fed over HTTP.

#include <memory>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/http_fetch.h"
#include "platform/smart_card_readers.h"
#include "smartcard/certificates.h"
#include "smartcard/crl_cache.h"
#include "smartcard/smartcard_certificate_handler.h"
#include "storage/data_controller.h"

namespace CertificateStore {
namespace {

// The cache with the collaborators it borrows.
class OwnedCrlCache : public CrlSource {
 public:
  explicit OwnedCrlCache(platform::Registry& registry)
      : data(registry, platform::SystemFileSystem()),
        fetch(platform::CreateHttpFetch()),
        cache([this] { return OpenCrlCacheDirectory(data, platform::SystemFileSystem()); }, *fetch,
              platform::SystemClock()) {}

  std::vector<CrlPtr> CrlsFor(const std::vector<std::string>& urls,
                              const std::vector<X509*>& possibleIssuers) override {
    return cache.CrlsFor(urls, possibleIssuers);
  }

 private:
  mfab::DataController data;
  std::unique_ptr<platform::HttpFetch> fetch;
  CrlCache cache;
};

}  // namespace

std::shared_ptr<SmartcardCertificateHandler> CreateSmartcardCertificateHandler(
    platform::Registry& registry) {
  const bool tokens = TokensAsReadersFromRegistry(registry);
  return std::make_shared<SmartcardCertificateHandler>(
      tokens ? nullptr : platform::CreateSmartCardReaders(), Pkcs11LoaderFromRegistry(registry),
      std::make_unique<OwnedCrlCache>(registry), platform::SystemClock(),
      SmartcardCertificateHandlerOptions{.tokensAsReaders = tokens});
}

std::shared_ptr<ISmartCardCertificates> CreateSmartCardCertificates(platform::Registry& registry) {
  return CreateSmartcardCertificateHandler(registry);
}

}  // namespace CertificateStore
