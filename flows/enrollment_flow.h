#pragma once

// A client's enrollment of a factor: checks that the factor exists (registered and in the
// mirrored policy), can run here and is not yet enrolled for the user; runs the factor's own
// enrollment flow; has the applet store the enrollment.
//
//   GetFactorData          "Invalid factor" (0xA0000035), "factor is not supported!"
//                          (0xA0000052), "factor is enrolled" (0xA0000037, the applet is not asked)
//   RunSpecificFactorFlow  the factor's flow within factorEnrollmentLimit; it could not start:
//                          "Smart card enrollment failed" (0xA0000031); it timed out: the same text
//                          (0xA0000038); it ended with a non-zero result: that result, and the
//                          chain ends here
//   StoreSecureData        SaveEnrollmentDataRequest (0xABBA0019) to the applet; a reply other
//                          than 0xABBA001A: "Invalid message " (0xA0000031); BooleanResponse not 0:
//                          "Store secure data failed" (0xA0000038); 0: the result is 0
//
// The result starts as kResultUnset; an MfaException that ends the chain leaves its code there,
// any other std::exception leaves it as it was.

#include <cstdint>
#include <memory>
#include <string>

#include "flows/base_flow.h"
#include "flows/factor.h"
#include "flows/flow_services.h"

namespace AuthenticateFlows {

class EnrollmentFlow final : public Flows::ExternalApiFlow<EnrollmentFlow> {
 public:
  static constexpr char kClassName[] = "AuthenticateFlows::EnrollmentFlow";

  // flowId: the client's session; ownerId: the client's process id.
  EnrollmentFlow(uint32_t flowIdValue, uint32_t ownerIdValue, std::string userSid,
                 std::string factorIdValue, const mfab::FlowServices& flowServices);

  uint32_t Result() const override { return result; }
  void RecordFailure(const mfab::MfaException& e);

  class GetFactorData;
  class RunSpecificFactorFlow;
  class StoreSecureData;

 private:
  std::unique_ptr<Flows::Step<EnrollmentFlow>> CreateFirstStep() override;

  const mfab::FlowServices services;
  const std::string user;
  const std::string factorId;
  std::shared_ptr<Factors::Factor> factor;
  uint32_t result = Flows::kResultUnset;
};

}  // namespace AuthenticateFlows
