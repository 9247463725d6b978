#pragma once

// What the smart-card factor keeps per user in the registry, under
//
//   HKLM\SOFTWARE\Ostra\Ostra Keystone\Engine\Factors\PhysicalSmartcard\<key>
//     p7bBlob    REG_BINARY  the enrolled certificate chain, a certs-only PKCS#7 bundle
//     crlCheck   REG_QWORD   seconds since 1970 of the last authentication that checked
//                            revocation
//
// where <key> is the SHA-256 of the user's SID text in lower-case hex, so the key does not name
// the user. Thread-safe (the registry is).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tlv/tlv.h"

namespace platform {
class Registry;
}  // namespace platform

namespace SmartCardFactor {

inline constexpr char kP7bBlobValue[] = "p7bBlob";
inline constexpr char kCrlCheckValue[] = "crlCheck";
// A stored bundle larger than this is not read (five certificates of at most 16 KiB each).
inline constexpr size_t kMaxStoredBundle = 5 * 16384 + 1024;

// SHA-256 of bytes.
std::array<uint8_t, 32> Sha256(std::span<const uint8_t> bytes);

// The per-user key's name: SHA-256 of the SID text, lower-case hex.
std::string UserKeyName(const std::string& userSid);

class SmartCardUserStore {
 public:
  // registry is borrowed and must outlive the store.
  explicit SmartCardUserStore(platform::Registry& registry);

  // The full path of the user's key.
  static std::string UserKeyPath(const std::string& userSid);

  // Creates the keys, writes the bundle and flushes. Throws platform::RegistryError.
  void WriteP7bBlob(const std::string& userSid, const mfab::Bytes& bundle);
  // The bundle, or nothing when the key or value is absent, not binary, or larger than
  // kMaxStoredBundle. Throws platform::RegistryError when the store fails.
  std::optional<mfab::Bytes> ReadP7bBlob(const std::string& userSid);

  // Nothing when absent or of another type.
  std::optional<uint64_t> ReadCrlCheck(const std::string& userSid);
  // Throws platform::RegistryError.
  void WriteCrlCheck(const std::string& userSid, uint64_t unixSeconds);

 private:
  platform::Registry& registry;
};

}  // namespace SmartCardFactor
