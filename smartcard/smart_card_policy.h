#pragma once

// The smart-card factor's parameters, as the administrator's policy gives them (the factor's
// Parameters in the registry mirror):
//
//   CaCertificateThumbprint0 .. 4   SHA-256 of a trusted CA certificate (hex); other numbers are
//                                   not read
//   OID0 .. 4                       extended key usages the certificate must carry
//   ReaderName                      part of the reader's name (empty: every reader)
//   AllowPinReplay                  "true" (exactly) lets the engine keep the PIN for one flow
//   CrlCheckFrequency               minutes between revocation checks; absent or 0: never

#include <cstdint>
#include <set>
#include <string>

#include "smartcard/certificates.h"
#include "storage/mirror_records.h"

namespace SmartCardFactor {

// Keys are read with the digits 0 to 4 only.
inline constexpr int kMaxPolicyListEntries = 5;

struct SmartCardPolicy {
  std::string readerName;
  std::set<std::string> caThumbprints;
  std::set<std::string> requiredOids;
  bool allowPinReplay = false;
  int32_t crlCheckFrequency = 0;  // minutes

  // What the certificate search needs of it.
  CertificateStore::PolicyInputs Inputs() const;
};

// Reads the parameters; a key that appears twice counts with its first value. A
// CrlCheckFrequency that is not a decimal number in the signed 32-bit range, or is negative,
// counts as 0 and is logged.
SmartCardPolicy ParseSmartCardPolicy(const AuthenticateDataMirroring::NameValues& parameters);

}  // namespace SmartCardFactor
