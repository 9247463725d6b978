#pragma once

// The file whose detached signatures the signature fuzz target verifies; its seeds sign it.

#include <string_view>

namespace keystone::fuzz {

inline constexpr std::string_view kSignedContent =
    "keystone signature fuzz target: the bytes a detached signature is checked against\n";

}  // namespace keystone::fuzz
