#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "common/client_identity.h"
#include "common/mutex.h"
#include "engine/factor_flow_runner.h"
#include "engine/running_flows.h"
#include "flows/client_flow_table.h"
#include "flows/enrollment_flow_runner.h"
#include "flows/flow.h"
#include "flows/flow_services.h"

namespace platform {
class Accounts;
}  // namespace platform

namespace mfab {

// Starts the engine's two generic flows and keeps track of them while they run: a client's
// enrollment (RunEnrollmentFlowRpc) and the factor authentication the applet asks for. Owns the
// table of running client flows. Every flow runs on the calling thread's behalf: the caller waits
// in the flow's Execute and destroys the flow afterwards.
//
// Rules of its own (docs/flows.md): a client that is not root enrolls only for its own SID; one
// enrollment at a time per user; CancelRunningFlows (the machine goes to sleep) and Shutdown (the
// engine stops) cancel every running flow, and after Shutdown no flow starts.
//
// One per process, owned by the composition root; its collaborators are borrowed and outlive it.
// Thread-safe. No lock is held while a flow runs or is cancelled.
class FlowRunner final : public IEnrollmentFlowRunner,
                         public IFactorFlowRunner,
                         public IRunningFlows {
 public:
  FlowRunner(Factors::FactorRegistry& factors, AuthenticateDataMirroring& mirror, IFlowHost& host,
             platform::Accounts& accounts, FlowOptions options = {});
  // Shuts down and waits (at most options.drainLimit) for the calls that still run a flow.
  ~FlowRunner() override;
  FlowRunner(const FlowRunner&) = delete;
  FlowRunner& operator=(const FlowRunner&) = delete;

  uint32_t RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                             const std::string& user, const std::string& factorId) override;
  int32_t RunFactorFlow(const Message& request, uint32_t ownerId, std::chrono::milliseconds limit,
                        Bytes& answer) override;

  void CancelRunningFlows() override;
  void Shutdown() override;

  Flows::ClientFlowTable& ClientFlows() { return clientFlows; }
  size_t RunningFlowsForTesting();

 private:
  class Admission;

  // Refuses the caller (logged) when it may not enroll for user.
  bool MayEnroll(const keystone::ClientIdentity& client, const std::string& user);

  Flows::ClientFlowTable clientFlows;
  const FlowServices services;
  platform::Accounts& accounts;

  keystone::Mutex mutex;  // Guards the members below.
  std::condition_variable drained;
  bool stopping GUARDED_BY(mutex) = false;
  size_t calls GUARDED_BY(mutex) = 0;
  std::set<std::shared_ptr<Flows::Flow>> running GUARDED_BY(mutex);
  std::set<std::string> enrollingUsers GUARDED_BY(mutex);
};

}  // namespace mfab
