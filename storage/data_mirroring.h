#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace mfab {

// The registry mirror's triggers as the service start-up, the resource manager and the client
// operations pull them. Each says in its name what changed; the mirror rewrites what depends on
// it. Thread-safe. Throws ReadMirrorDataException, WriteMirrorDataException,
// PolicyNotSetException, and what the applet exchange throws.
class IDataMirroring {
 public:
  virtual ~IDataMirroring() = default;

  // Mirrors everything when the mirror does not exist yet and a policy is stored.
  virtual void MirrorDataIfEmpty() = 0;
  // The applet's policy changed (a new firmware, or "Update All").
  virtual void PolicyUpdated() = 0;
  // The applet's data was cleared: the mirror goes.
  virtual void DataCleared() = 0;
  // A user's data changed (empty: every user's).
  virtual void UserUpdated(const std::string& user) = 0;
  // "Update All": the policy, every user, the user records, the devices' user state.
  virtual void UpdateAll() = 0;
  // The factors supported outside the applet (an ExternalFactorsSupport record) changed.
  virtual void MirrorFactorStatus(std::span<const uint8_t> support) = 0;
};

}  // namespace mfab
