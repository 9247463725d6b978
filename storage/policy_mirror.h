#pragma once

// Read access to the policy that the engine mirrors into the registry, for components that only
// need the policy's factor and action identifiers.
//
// Mirror layout (read-only here):
//   <DataMirror>\Factors\<factor id>\...          one subkey per factor
//   <DataMirror>\Actions\<action id>\Set<n>\...   one subkey per action

#include <string>
#include <vector>

#include "common/mutex.h"

namespace platform {
class Registry;
}  // namespace platform

namespace mfab {

// The process-wide policy-mirror lock. Whoever reads or rewrites the mirror holds it for the
// duration of that registry work only; never hold it while waiting for the applet queue, whose
// thread takes it to build piggy-back blocks.
keystone::Mutex& PolicyMirrorMutex();

// The identifiers of the mirrored policy. Implementations take PolicyMirrorMutex themselves
// for each read.
class IPolicyMirrorReader {
 public:
  virtual ~IPolicyMirrorReader() = default;

  // Factor identifiers in key order (byte-wise); empty when no policy is mirrored.
  // Throws ReadMirrorDataException when the mirror cannot be read.
  virtual std::vector<std::string> FactorIds() = 0;
  // Action identifiers in stored order; empty when no policy is mirrored.
  virtual std::vector<std::string> ActionIds() = 0;
};

// Reads the subkey names of DataMirror\Factors and DataMirror\Actions directly. Until the
// registry mirroring component offers its own reader this is the engine's source of the ids;
// it never writes. Thread-safe.
class RegistryPolicyMirrorReader final : public IPolicyMirrorReader {
 public:
  explicit RegistryPolicyMirrorReader(platform::Registry& registryToUse);

  std::vector<std::string> FactorIds() override;
  std::vector<std::string> ActionIds() override;

 private:
  std::vector<std::string> SubkeyNames(const std::string& keyPath);

  platform::Registry* registry;
};

// The process-wide reader over the system registry.
IPolicyMirrorReader& DefaultPolicyMirrorReader();

}  // namespace mfab
