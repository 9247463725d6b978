#include "bluetooth/ble_bridge_loader.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "bluetooth/gatt10_bridge.h"
#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/shared_library.h"
#include "platform/signed_file_verifier.h"
#include "platform/trusted_signers.h"

namespace mfab {
namespace {

// What a full path may hold.
constexpr size_t kMaxFullPath = 4096;
constexpr char kTag[] = "PT_PROVIDER";

}  // namespace

bool IsWindows10OrLater(platform::Registry& registry) {
  const std::optional<uint32_t> major = platform::ReadRegistryDword(
      registry, keystone::kWindowsCurrentVersionKey, "CurrentMajorVersionNumber");
  return !major || *major >= 10;
}

std::string BridgeFileName(bool isWindows10, uint16_t generation) {
  if (!isWindows10) return kLegacyBridgeFile;
  return generation == platform::kWin10Rs1 ? kGatt10BridgeFile : kGatt10Rs2BridgeFile;
}

SafeLibraryLoader::SafeLibraryLoader(Logger logger, platform::SignedFileVerifier& verifierToUse)
    : log(std::move(logger)), verifier(verifierToUse) {
  if (!log) throw std::invalid_argument("SafeLibraryLoader needs a logger");
}

std::shared_ptr<platform::SharedLibrary> SafeLibraryLoader::Load(
    const std::string& directory, const std::string& fileName,
    std::span<const std::string> expectedThumbprints) {
  std::string fullPath;
  {
    std::error_code error;
    const std::filesystem::path path =
        std::filesystem::canonical(std::filesystem::path(directory) / fileName, error);
    if (error || !std::filesystem::is_regular_file(path, error) || error ||
        path.native().size() > kMaxFullPath) {
      log("Load  GetFullPath failure");
      return nullptr;
    }
    fullPath = path.native();
  }
  std::optional<platform::VerifiedFile> file;
  try {
    file.emplace(verifier.Verify(fullPath, expectedThumbprints));
  } catch (const platform::UntrustedFileError& e) {
    const bool signerProblem = e.Reason() == platform::UntrustedReason::kSignerNotTrusted ||
                               e.Reason() == platform::UntrustedReason::kNoTrustedSigners;
    log(signerProblem ? "Load  VerifyFileCertificate failure" : "Load  VerifyFileSignature failure");
    return nullptr;
  } catch (const std::exception&) {
    log("Load  VerifyFileSignature failure");
    return nullptr;
  }
  try {
    return std::make_shared<platform::SharedLibrary>(*file);
  } catch (const std::exception&) {
    log("Load  LoadLibraryW failure");
    return nullptr;
  }
}

std::string BleBridgeDirectory(platform::Registry& registry, const std::string& configured,
                               const std::string& fallback) {
  if (!configured.empty()) return configured;
  const std::optional<std::string> fromRegistry =
      platform::ReadRegistryString(registry, keystone::kEngineKey, kBleBridgeDirectoryValue);
  if (fromRegistry && !fromRegistry->empty()) return *fromRegistry;
  return fallback.empty() ? platform::ExecutableDirectory() : fallback;
}

BleBridgeState DescribeBleBridge(platform::Registry& registry, platform::SignedFileVerifier& verifier,
                                 platform::OsVersion& osVersion, const std::string& directory) {
  const bool isWindows10 = IsWindows10OrLater(registry);
  const std::string file =
      BridgeFileName(isWindows10, isWindows10 ? platform::GetWindowsVersionClass(osVersion) : 0);
  BleBridgeState state;
  state.path = (std::filesystem::path(directory) / file).native();
  std::error_code error;
  if (!std::filesystem::is_regular_file(state.path, error)) {
    state.reason = "missing";
    return state;
  }
  try {
    const platform::VerifiedFile verified =
        verifier.Verify(state.path, platform::ReadTrustedSigners(registry).thumbprints);
    state.trusted = true;
    state.signer = verified.SignerThumbprint();
  } catch (const platform::UntrustedFileError& e) {
    state.reason = platform::UntrustedReasonName(e.Reason());
  }
  return state;
}

std::function<std::shared_ptr<IBTProvider>()> MakeBleBridgeCreator(
    BleBridgeEnvironment environment) {
  if (!environment.verifier || !environment.osVersion) {
    throw std::invalid_argument("the BLE creator needs a verifier and the version facts");
  }
  return [env = std::move(environment)]() -> std::shared_ptr<IBTProvider> {
    const std::string directory = BleBridgeDirectory(env.registry, env.directory);
    const std::vector<std::string> trusted = platform::ReadTrustedSigners(env.registry).thumbprints;
    if (IsWindows10OrLater(env.registry)) {
      const std::string file =
          BridgeFileName(true, platform::GetWindowsVersionClass(*env.osVersion));
      SafeLibraryLoader loader(
          [](const std::string& line) {
            KS_LOG(AuthenticateLoggerBt::Instance(), kLogError, kTag, "%s", line.c_str());
          },
          *env.verifier);
      return std::make_shared<Gatt10Bridge>(loader.Load(directory, file, trusted));
    }
    SafeLibraryLoader quiet([](const std::string&) {}, *env.verifier);
    std::shared_ptr<platform::SharedLibrary> library =
        quiet.Load(directory, kLegacyBridgeFile, trusted);
    if (!library) throw BluetoothProvider::InvalidProviderTypeException();
    std::shared_ptr<Gatt10Bridge> bridge;
    try {
      bridge = std::make_shared<Gatt10Bridge>(std::move(library), true);
    } catch (const BluetoothProvider::LoadDllFailed&) {
      throw BluetoothProvider::InvalidProviderTypeException();
    }
    bridge->Setup();
    return bridge;
  };
}

}  // namespace mfab
