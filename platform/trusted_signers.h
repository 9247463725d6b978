#pragma once

// The engine's trusted signers: the SHA-256 thumbprints of the certificates whose signatures make
// a program or a plug-in trusted, in the REG_MULTI_SZ (or, for one signer, REG_SZ) value
// "TrustedSigners" under the engine key. An entry is 64 hexadecimal digits in either case, which
// may be separated by colons or blanks as "openssl x509 -fingerprint -sha256" prints them. No
// value, or no valid entry, trusts nothing.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Registry;

struct TrustedSigners {
  std::vector<std::string> thumbprints;  // normalized: 64 upper-case hexadecimal digits
  std::vector<std::string> rejected;     // entries that are not a thumbprint, as written
};

// Reads the value now (a change takes effect at the next check). Throws RegistryError when the
// store fails or the value has another type.
TrustedSigners ReadTrustedSigners(Registry& registry);

// The thumbprint an entry stands for; nullopt when it is not 64 hexadecimal digits once colons
// and blanks are left out.
std::optional<std::string> NormalizeThumbprint(std::string_view entry);

}  // namespace platform
