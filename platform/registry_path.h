#pragma once

// Registry paths and names as the stores see them: a hive and a list of key names, compared
// without regard to ASCII case. Every store goes through these checks, so a malformed path is
// refused the same way everywhere.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Limits of the Windows registry, kept so that what works here also works there.
inline constexpr size_t kMaxKeyNameLength = 255;      // characters of one key name
inline constexpr size_t kMaxValueNameLength = 16383;  // characters of a value name
inline constexpr size_t kMaxKeyDepth = 512;           // key names below the hive
// Larger data belongs in a file; the bound keeps one bad caller from filling the store.
inline constexpr size_t kMaxValueDataSize = 1 << 20;

enum class RegHive { kLocalMachine, kUsers, kCurrentUser };

struct RegistryPath {
  RegHive hive = RegHive::kLocalMachine;
  std::vector<std::string> components;  // key names below the hive, as written
};

// Splits "HKLM\A\B" (or "HKEY_LOCAL_MACHINE\A\B", any case) into its hive and key names.
// Throws RegistryError(kInvalidParameter) naming the fault: empty path or component (leading,
// trailing or doubled backslash), unknown hive, a name over 255 characters or holding a NUL,
// more than 512 levels.
RegistryPath ParseRegistryPath(std::string_view path);

// The short ("HKLM") and long ("HKEY_LOCAL_MACHINE") names of a hive.
const char* HiveShortName(RegHive hive);
const char* HiveLongName(RegHive hive);

// The path written back with the short hive name: "HKLM\A\B".
std::string FormatRegistryPath(RegHive hive, const std::vector<std::string>& components);

// Throws RegistryError(kInvalidParameter) for a value name over 16383 characters or with a NUL.
// The empty name (the key's default value) is valid.
void ValidateValueName(std::string_view name);

// The comparison form of a key or value name: ASCII letters lowered, every other byte kept.
// Two names are the same name exactly when their folded forms are equal, and keys and values
// are listed in the byte order of their folded names.
std::string FoldRegistryName(std::string_view name);

// The name or path in single quotes for a message, cut after 80 characters.
std::string QuoteRegistryName(std::string_view name);

}  // namespace platform
