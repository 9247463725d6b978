#pragma once

// The platform's attestation client, an external library the engine starts when a client asks
// for attestation. The library is named by a registry value and exports one entry point:
//
//   int32_t KeystoneAttestationInitialize(void);   0 = started, anything else = its error code
//
// It is loaded on the first request, only when its signature verifies against the trusted
// signers (platform/signed_file_verifier.h), and from the bytes that verified; it then stays
// loaded. A failed load is tried again on the next request.

#include <memory>
#include <string>

#include "common/mutex.h"

namespace platform {
class Registry;
class SharedLibrary;
class SignedFileVerifier;
}  // namespace platform

namespace mfab {

// REG_SZ under the engine key: the attestation client library's path.
inline constexpr char kAttestationClientPathValue[] = "AttestationClientPath";
inline constexpr char kAttestationInitializeSymbol[] = "KeystoneAttestationInitialize";

// Thread-safe.
class IAttestationClient {
 public:
  virtual ~IAttestationClient() = default;
  // Starts the client. Throws GenericException "Failed to initialing Halo client for
  // Attestation." when there is none, it is not trusted or it cannot be loaded, and the same
  // text followed by " Error: <code>" when its initialization returned an error.
  virtual void Initialize() = 0;
};

// The client library configured in the registry.
class LibraryAttestationClient final : public IAttestationClient {
 public:
  // registry and verifier must outlive this object.
  LibraryAttestationClient(platform::Registry& registryToUse,
                           platform::SignedFileVerifier& verifierToUse);
  ~LibraryAttestationClient() override;
  LibraryAttestationClient(const LibraryAttestationClient&) = delete;
  LibraryAttestationClient& operator=(const LibraryAttestationClient&) = delete;

  void Initialize() override;

 private:
  platform::Registry& registry;
  platform::SignedFileVerifier& verifier;
  keystone::Mutex mutex;  // Guards the member below; not held while the library runs.
  std::shared_ptr<platform::SharedLibrary> library GUARDED_BY(mutex);
};

}  // namespace mfab
