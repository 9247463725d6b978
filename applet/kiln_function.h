#pragma once

#include <cstddef>
#include <cstdint>

namespace mfab {

// The nine functions of the host-interface library, in the order of applet/kiln.h; what the
// simulated applet's fault plans and the tests' fake library name calls by.
enum class KilnFunction : uint8_t {
  kInitialize,
  kDeinit,
  kGetVersionInfo,
  kInstall2,
  kUninstall,
  kCreateSession,
  kCloseSession,
  kForceCloseSession,
  kSendAndRecv2,
};
inline constexpr size_t kKilnFunctionCount = 9;

// The function's name without the "KILN_" prefix.
constexpr const char* KilnFunctionName(KilnFunction function) {
  constexpr const char* kNames[kKilnFunctionCount] = {
      "Initialize",   "Deinit",       "GetVersionInfo",    "Install2",    "Uninstall",
      "CreateSession", "CloseSession", "ForceCloseSession", "SendAndRecv2"};
  return kNames[static_cast<size_t>(function)];
}

}  // namespace mfab
