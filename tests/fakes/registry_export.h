#pragma once

#include <string>

#include "platform/registry.h"

namespace keystone::testing {

// The tree under path as text, for comparing a written subtree with what a test expects: one
// "[relative\key]" line per key (depth first, in the store's order; the root itself is "[]"),
// then one "name=TYPE data" line per value (REG_SZ text, DWORD decimal, others hex). Empty when
// the key does not exist.
std::string ExportTree(platform::Registry& registry, const std::string& path);

}  // namespace keystone::testing
