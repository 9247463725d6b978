#pragma once

#include <cstdint>

namespace keystone {

// Who sent a client request, as the kernel told the engine when the client connected. Nothing
// the client does afterwards (exec, setuid, handing its connection to another process) changes
// it: every decision about the caller is made from these values.
struct ClientIdentity {
  static constexpr uint32_t kUnknownUid = 0xFFFFFFFF;

  uint32_t pid = 0;  // 0 when unknown
  uint32_t uid = kUnknownUid;

  bool Known() const { return uid != kUnknownUid; }
  // Full privileges: root at connect.
  bool Elevated() const { return uid == 0; }
};

// The engine's own requests, which act with full privileges.
inline constexpr ClientIdentity kEngineIdentity{0, 0};

}  // namespace keystone
