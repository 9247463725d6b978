#pragma once

// What the applet checks of a smart card: the certificate bundle the engine sends for an
// enrollment (a certs-only PKCS#7, DER) must hold the card's certificate, named by its SHA-1
// thumbprint, with an RSA key and a chain, valid now, to a certificate whose SHA-256 thumbprint
// the policy lists among the factor's CaCertificateThumbprint0..4; and a signed challenge must
// verify (SHA-256, PKCS#1 v1.5) with the key of the certificate enrolled.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/applet/policy.h"

namespace kilnsim {

inline constexpr char kSmartCardFactorId[] = "PhysicalSmartcard";
// Bounds of what the engine may send: a bundle of at most kMaxBundleCertificates certificates
// in at most kMaxBundleBytes, a signature of at most kMaxSignatureBytes (RSA up to 8192 bits).
inline constexpr size_t kMaxBundleBytes = 24 * 1024;
inline constexpr size_t kMaxBundleCertificates = 8;
inline constexpr size_t kMaxSignatureBytes = 1024;
inline constexpr size_t kNonceBytes = 32;

// The card's certificate as the applet accepted it.
struct CardCertificate {
  std::vector<uint8_t> publicKey;  // SubjectPublicKeyInfo, DER
  std::string sha1;                // of the certificate, lower-case hex
};

// The outcome of a chain check: the card's certificate, or why it was refused.
struct ChainVerdict {
  std::optional<CardCertificate> card;
  std::string problem;
};

// The policy's CA thumbprints for the smart-card factor (lower-case; empty without the factor).
std::set<std::string> SmartCardCaThumbprints(const Policy& policy);

// Throws AppletError(kMalformedRequest) when the bundle is larger than kMaxBundleBytes, is not
// a PKCS#7 signed-data structure holding 1 to kMaxBundleCertificates certificates; any other
// fault is a refusal in the verdict.
ChainVerdict VerifyCardChain(std::span<const uint8_t> bundle, const std::string& leafSha1,
                             const std::set<std::string>& caThumbprints);

// Whether signature is a SHA-256 PKCS#1 v1.5 signature of data by the RSA key publicKey (DER
// SubjectPublicKeyInfo). A key that does not parse verifies nothing.
bool VerifyCardSignature(std::span<const uint8_t> publicKey, std::span<const uint8_t> data,
                         std::span<const uint8_t> signature);

// kNonceBytes from the system's random source; throws std::runtime_error when it fails.
std::vector<uint8_t> RandomNonce();

}  // namespace kilnsim
