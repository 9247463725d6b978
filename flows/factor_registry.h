#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flows/factor.h"

namespace mfab {
class IPolicyMirrorReader;
}  // namespace mfab

namespace Factors {

// The factors this engine knows, by identifier. Built once by the composition root with every
// production factor and never changed afterwards; a factor the mirrored policy does not list is
// treated as absent. Thread-safe (the map is immutable; the policy read locks the mirror).
class FactorRegistry {
 public:
  // policy is borrowed and must outlive the registry. A later factor with an identifier that is
  // already taken is ignored.
  FactorRegistry(mfab::IPolicyMirrorReader& policy,
                 const std::vector<std::shared_ptr<Factor>>& factors);
  FactorRegistry(const FactorRegistry&) = delete;
  FactorRegistry& operator=(const FactorRegistry&) = delete;

  // The factor, or null when the identifier is not registered or the mirrored policy's factor
  // list (read under the policy-mirror lock) does not name it. Throws ReadMirrorDataException
  // when the mirror cannot be read.
  std::shared_ptr<Factor> GetFactor(const std::string& factorId);

 private:
  mfab::IPolicyMirrorReader& policy;
  std::map<std::string, std::shared_ptr<Factor>> factors;
};

}  // namespace Factors
