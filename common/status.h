#pragma once

#include <cstdint>

namespace keystone {

// Status codes returned to clients and stored as flow results.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusGeneralFailure = 0xA0000031;
inline constexpr uint32_t kStatusInvalidParameter = 0xA0000035;
inline constexpr uint32_t kStatusBufferTooSmall = 0xA0000036;
inline constexpr uint32_t kStatusAlreadyEnrolled = 0xA0000037;
inline constexpr uint32_t kStatusEnrollmentError = 0xA0000038;
inline constexpr uint32_t kStatusPolicyNotSet = 0xA0000050;
inline constexpr uint32_t kStatusAuthenticationError = 0xA0000051;
inline constexpr uint32_t kStatusFactorNotSupported = 0xA0000052;
inline constexpr uint32_t kStatusAttestationFailure = 0xA0000060;
inline constexpr uint32_t kStatusSmartCardNotAvailable = 0xA0000065;
inline constexpr uint32_t kStatusSmartCardReaderNotAvailable = 0xA0000066;
inline constexpr uint32_t kStatusCertificateUnavailable = 0xA0000069;
inline constexpr uint32_t kStatusSmartCardGeneralError = 0xA000006A;

// Error codes the engine records in the authentication status.
inline constexpr uint32_t kAuthErrorKilnTimeout = 0x301;
inline constexpr uint32_t kAuthErrorAppletInactive = 0xA000005A;
inline constexpr uint32_t kAuthErrorPowerEvent = 0xA000005B;

// The session id that stands for "no client session" / "the engine itself".
inline constexpr uint32_t kNoSessionId = 0xFFFFFFFF;

}  // namespace keystone
