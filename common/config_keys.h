#pragma once

// Registry locations of the engine's configuration and mirror.
namespace keystone {

inline constexpr const char* kEngineKey = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine";
inline constexpr const char* kPanelFactorKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\\PanelFactor";
inline constexpr const char* kSecureBtKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\\SecureBT";
inline constexpr const char* kSoftBtKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\\SoftBT";
inline constexpr const char* kPhysicalSmartcardKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\\PhysicalSmartcard";
inline constexpr const char* kDataMirrorKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\DataMirror";
inline constexpr const char* kClientUsersKey =
    "HKLM\\Software\\Ostra\\Ostra Keystone\\Client\\Users";
// Where the operating-system version facts live (set here to exercise older generations).
inline constexpr const char* kWindowsCurrentVersionKey =
    "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// Values under the engine key.
// REG_MULTI_SZ: the SHA-256 thumbprints of the trusted signers (platform/trusted_signers.h).
inline constexpr const char* kTrustedSignersValue = "TrustedSigners";
// REG_SZ: a signed program that authenticates on the console's desktop instead of the engine's.
inline constexpr const char* kExternalManagedAuthenticationValue = "ExternalManagedAuthentication";
// REG_SZ: the engine's installed executable, possibly in double quotes; the desktop program is
// looked for in its directory.
inline constexpr const char* kImagePathValue = "ImagePath";

// The engine key's subkey with one DWORD per log sink: the highest level written
// (0 off, 1 critical, 2 error, 3 warning, 4 information).
inline constexpr const char* kLoggingKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Logging";

}  // namespace keystone
