#pragma once

// What a call throws, for tests that check an exception's type, text and status together.

#include <cstdint>
#include <cstdio>
#include <string>

namespace keystone::testing {

// The text of the E the call throws, followed by " (0x<status>)" when E carries a status, or
// "<nothing thrown>". An exception of another type passes through and fails the test.
template <typename E, typename F>
std::string Thrown(F&& call) {
  try {
    call();
  } catch (const E& e) {
    std::string text = e.what();
    if constexpr (requires { e.ErrorCode(); }) {
      char status[16];
      std::snprintf(status, sizeof status, "%08X", static_cast<uint32_t>(e.ErrorCode()));
      text += std::string(" (0x") + status + ")";
    }
    return text;
  }
  return "<nothing thrown>";
}

}  // namespace keystone::testing
