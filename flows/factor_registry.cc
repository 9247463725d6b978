#include "flows/factor_registry.h"

#include <algorithm>

#include "storage/policy_mirror.h"

namespace Factors {

FactorRegistry::FactorRegistry(mfab::IPolicyMirrorReader& policyReader,
                               const std::vector<std::shared_ptr<Factor>>& known)
    : policy(policyReader) {
  for (const std::shared_ptr<Factor>& factor : known) {
    if (factor) factors.emplace(factor->id, factor);
  }
}

std::shared_ptr<Factor> FactorRegistry::GetFactor(const std::string& factorId) {
  auto found = factors.find(factorId);
  if (found == factors.end()) return nullptr;
  const std::vector<std::string> listed = policy.FactorIds();
  if (std::find(listed.begin(), listed.end(), factorId) == listed.end()) return nullptr;
  return found->second;
}

}  // namespace Factors
