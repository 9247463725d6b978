#pragma once

// Sealed blobs: what the applet hands the engine to keep. A blob is opaque to anyone without the
// device key; it is bound to its logical name and to the security version (SVN) whose key sealed
// it.
//
//   offset  size  field
//   0       4     magic "KSB1"
//   4       4     svn, big-endian
//   8       8     version, big-endian (the master-versions generation that wrote it)
//   16      12    nonce
//   28      n     AES-256-GCM ciphertext of the record
//   28+n    16    GCM tag
//
// Additional data: the 28 header bytes followed by the logical name. The key of an SVN is
// HKDF-SHA256(device key, salt "keystone kiln-sim sealing", info "svn" + svn as 4 bytes).

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kilnsim {

using SealingKey = std::array<uint8_t, 32>;

inline constexpr size_t kBlobHeaderSize = 28;
inline constexpr size_t kBlobTagSize = 16;
inline constexpr size_t kBlobOverhead = kBlobHeaderSize + kBlobTagSize;

// A blob that is not ours, was altered, or is bound to another name.
class SealError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct BlobHeader {
  uint32_t svn = 0;
  uint64_t version = 0;
};

// The key of one security version. Throws std::runtime_error when the library fails.
SealingKey DeriveSealingKey(const SealingKey& deviceKey, uint32_t svn);

// Fresh random bytes from the library's generator. Throws std::runtime_error.
void RandomBytes(std::span<uint8_t> out);

std::vector<uint8_t> SealBlob(const SealingKey& key, std::string_view name, BlobHeader header,
                              std::span<const uint8_t> plaintext);

// The header of a blob, unauthenticated until OpenBlob succeeds. Throws SealError when the blob
// is too short or lacks the magic.
BlobHeader PeekBlobHeader(std::span<const uint8_t> blob);

// The record inside a blob sealed under key for name. Throws SealError.
std::vector<uint8_t> OpenBlob(const SealingKey& key, std::string_view name,
                              std::span<const uint8_t> blob);

}  // namespace kilnsim
