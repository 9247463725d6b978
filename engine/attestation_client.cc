#include "engine/attestation_client.h"

#include <cstdint>
#include <exception>
#include <optional>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "log/logger.h"
#include "platform/registry.h"
#include "platform/shared_library.h"
#include "platform/signed_file_verifier.h"
#include "platform/trusted_signers.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr const char* kInitFailed = "Failed to initialing Halo client for Attestation.";

using InitializeFunction = int32_t (*)();

}  // namespace

LibraryAttestationClient::LibraryAttestationClient(platform::Registry& registryToUse,
                                                   platform::SignedFileVerifier& verifierToUse)
    : registry(registryToUse), verifier(verifierToUse) {}

LibraryAttestationClient::~LibraryAttestationClient() = default;

void LibraryAttestationClient::Initialize() {
  std::shared_ptr<platform::SharedLibrary> loaded;
  {
    keystone::MutexLock lock(mutex);
    loaded = library;
  }
  if (!loaded) {
    std::optional<std::string> path;
    try {
      path =
          platform::ReadRegistryString(registry, keystone::kEngineKey, kAttestationClientPathValue);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Cannot read %s (%s)", kAttestationClientPathValue,
             e.what());
      throw GenericException(kInitFailed);
    }
    if (!path || path->empty()) {
      KS_LOG(Log(), kLogError, "FLOW", "No attestation client is configured (%s)",
             kAttestationClientPathValue);
      throw GenericException(kInitFailed);
    }
    try {
      const platform::VerifiedFile file =
          verifier.Verify(*path, platform::ReadTrustedSigners(registry).thumbprints);
      loaded = std::make_shared<platform::SharedLibrary>(file);
      loaded->Symbol(kAttestationInitializeSymbol);
    } catch (const platform::UntrustedFileError& e) {
      KS_LOG(Log(), kLogError, "FLOW", "The attestation client is not trusted (%s)", e.what());
      throw GenericException(kInitFailed);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Cannot load the attestation client (%s)", e.what());
      throw GenericException(kInitFailed);
    }
    keystone::MutexLock lock(mutex);
    if (!library) library = loaded;
    loaded = library;
  }
  const auto initialize =
      reinterpret_cast<InitializeFunction>(loaded->Symbol(kAttestationInitializeSymbol));
  const int32_t result = initialize();
  if (result != 0) {
    KS_LOG(Log(), kLogError, "FLOW", "The attestation client failed to start (%d)", result);
    throw GenericException(std::string(kInitFailed) + " Error: " + std::to_string(result));
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "Attestation client started");
}

}  // namespace mfab
