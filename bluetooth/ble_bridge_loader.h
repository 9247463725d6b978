#pragma once

// Finding and loading a BLE bridge library (docs/ble-bridge.md). The file is chosen by the
// operating-system generation and lies in the bridge directory (the engine's own directory in
// production); it is loaded only from the bytes whose detached signature verified against the
// trusted signers.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {
class OsVersion;
class Registry;
class SharedLibrary;
class SignedFileVerifier;
}  // namespace platform

namespace mfab {

// REG_SZ under the engine key: the directory the bridges are loaded from instead of the engine's
// own (the demo and the tests point it at a simulated bridge).
inline constexpr char kBleBridgeDirectoryValue[] = "BleBridgeDirectory";

// The bridge files, by generation.
inline constexpr char kLegacyBridgeFile[] = "libkeystone-gatt7.so";
inline constexpr char kGatt10BridgeFile[] = "libkeystone-gatt10.so";
inline constexpr char kGatt10Rs2BridgeFile[] = "libkeystone-gatt10rs2.so";

// Whether the system counts as version 10 or later ("CurrentMajorVersionNumber" >= 10; true when
// the value is absent, as on Linux by default). Throws what the registry throws.
bool IsWindows10OrLater(platform::Registry& registry);

// The file name the generation loads: the legacy bridge before version 10, the first version 10
// bridge for generation 2 (builds below 14394), the later one otherwise.
std::string BridgeFileName(bool isWindows10, uint16_t generation);

// Loads a library only when it verifies. Each failed step logs one line through the logger
// ("Load  GetFullPath failure", "Load  VerifyFileSignature failure",
// "Load  VerifyFileCertificate failure", "Load  LoadLibraryW failure") and gives null.
// Thread-safe.
class SafeLibraryLoader {
 public:
  using Logger = std::function<void(const std::string&)>;

  // Throws std::invalid_argument for an empty logger. The verifier must outlive this object.
  SafeLibraryLoader(Logger logger, platform::SignedFileVerifier& verifier);

  // The library at directory/fileName, or null. expectedThumbprints: 64 upper-case hexadecimal
  // digits each.
  std::shared_ptr<platform::SharedLibrary> Load(const std::string& directory,
                                                const std::string& fileName,
                                                std::span<const std::string> expectedThumbprints);

 private:
  Logger log;
  platform::SignedFileVerifier& verifier;
};

class IBTProvider;

// What the BLE creator reads: the registry (the version facts, TrustedSigners and
// BleBridgeDirectory), the verifier, the version facts, and where the bridges lie (empty: the
// registry's BleBridgeDirectory, else the engine's own directory).
struct BleBridgeEnvironment {
  platform::Registry& registry;
  std::shared_ptr<platform::SignedFileVerifier> verifier;
  std::shared_ptr<platform::OsVersion> osVersion;
  std::string directory;
};

// The provider factory's BLE creator. From version 10 on: the bridge file by generation, loaded
// with SafeLibraryLoader logging to the Bluetooth log, in a Gatt10Bridge whose Setup runs later
// (the manager's start-up). Before: the legacy bridge, loaded with a loader that discards its
// lines, set up at once, marked legacy. Throws when the bridge cannot be had (LoadDllFailed or
// InvalidProviderTypeException); the registry must outlive the creator.
std::function<std::shared_ptr<IBTProvider>()> MakeBleBridgeCreator(BleBridgeEnvironment environment);

// Where the bridges are loaded from: configured, else the registry's BleBridgeDirectory, else
// fallback, else the running program's own directory. Throws what the registry throws,
// std::system_error when the program's directory cannot be found.
std::string BleBridgeDirectory(platform::Registry& registry, const std::string& configured = {},
                               const std::string& fallback = {});

// What an administrator wants to know about the bridge the engine would load: which file, and
// whether it would be loaded. Reads the file and its signature; loads nothing.
struct BleBridgeState {
  std::string path;
  bool trusted = false;
  std::string signer;  // the signer's thumbprint when trusted
  std::string reason;  // why not, when not trusted ("missing", "signature-mismatch", ...)
};
BleBridgeState DescribeBleBridge(platform::Registry& registry, platform::SignedFileVerifier& verifier,
                                 platform::OsVersion& osVersion, const std::string& directory);

}  // namespace mfab
