#include "flows/factor_registry.h"

#include <gtest/gtest.h>

#include "tests/flows/flows_test_support.h"

namespace mfab::testing {
namespace {

TEST(FactorRegistryTest, FactorIsAbsentUntilTheMirroredPolicyListsIt) {
  FlowWorld w;
  w.MirrorPolicy({"Other"});
  EXPECT_EQ(w.factors.GetFactor(kFactor), nullptr);
  w.MirrorPolicy({"Other", kFactor});
  const std::shared_ptr<Factors::Factor> factor = w.factors.GetFactor(kFactor);
  ASSERT_NE(factor, nullptr);
  EXPECT_EQ(factor->id, kFactor);
  // Listed by the policy but not registered: absent as well.
  EXPECT_EQ(w.factors.GetFactor("Other"), nullptr);
}

}  // namespace
}  // namespace mfab::testing
