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

// The engine key's subkey with one DWORD per log sink: the highest level written
// (0 off, 1 critical, 2 error, 3 warning, 4 information).
inline constexpr const char* kLoggingKey =
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Logging";

}  // namespace keystone
