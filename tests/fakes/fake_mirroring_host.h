#pragma once

// The applet and the resource manager as the registry mirroring sees them, with canned replies
// built by the simulated applet's own record writers. Header only: a test that includes it links
// kiln_sim_core. Thread-safe.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/applet/policy.h"
#include "sim/applet/records.h"
#include "storage/mirroring_host.h"
#include "tests/fakes/locked.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"
#include "tlv/metadata.h"

namespace keystone::testing {

inline mfab::Bytes ReplyOf(uint32_t type, mfab::Bytes payload) {
  mfab::Message reply;
  reply.moduleId = 5;
  reply.messageType = type;
  reply.payload = std::move(payload);
  reply.isResponse = true;
  return reply.Serialize();
}

inline mfab::Bytes PolicyReply(const kilnsim::Policy& policy) {
  mfab::GetPolicyDataResponse response;
  response.factorsData = kilnsim::SerializeFactorElements(policy);
  response.actionsData = kilnsim::SerializeActionElements(policy);
  response.systemParamsData = kilnsim::SerializeSettingElements(policy);
  return ReplyOf(mfab::message_type::kGetPolicyDataResponse, response.Serialize());
}

inline mfab::Bytes UserDataReply(const std::vector<kilnsim::UserData>& users) {
  mfab::GetUserDataResponse response;
  response.userData = kilnsim::SerializeUserData(users);
  return ReplyOf(mfab::message_type::kGetUserDataResponse, response.Serialize());
}

inline mfab::Bytes ErrorReply(uint16_t code, const std::string& text) {
  mfab::ErrorMessage error;
  error.errorCode = code;
  error.errorText = text;
  return ReplyOf(mfab::message_type::kErrorReply, error.Serialize());
}

class FakeMirroringHost : public mfab::IMirroringHost {
 public:
  mfab::Bytes GetPolicyData() override {
    ++policyRequests;
    if (onPolicyRequest) onPolicyRequest();
    return LockedCopy(mutex, policyReply);
  }
  mfab::Bytes SendMessageUsingQueue(const mfab::Bytes& request) override {
    std::lock_guard<std::mutex> lock(mutex);
    const mfab::Message message = mfab::Message::Parse(request);
    mfab::GetUserDataRequest query;
    query.Deserialize(message.payload);
    userRequests.push_back(query.user);
    return userReply;
  }
  void StartUserRecordTask() override { ++recordTasks; }
  void ClearUserData() override { ++userDataClears; }

  void SetPolicy(const mfab::Bytes& reply) { LockedSet(mutex, policyReply, reply); }
  void SetUsers(const mfab::Bytes& reply) { LockedSet(mutex, userReply, reply); }
  std::vector<std::string> UserRequests() { return LockedCopy(mutex, userRequests); }
  int PolicyRequests() { return policyRequests; }

  // Runs on the asking thread before each policy reply (nothing of the mirroring is locked then).
  // Set it before the mirroring runs.
  std::function<void()> onPolicyRequest;
  std::atomic<int> recordTasks{0};
  std::atomic<int> userDataClears{0};

 private:
  std::mutex mutex;
  mfab::Bytes policyReply = ErrorReply(mfab::applet_error::kPolicyNotSet, "no policy is set");
  mfab::Bytes userReply = UserDataReply({});
  std::vector<std::string> userRequests;
  std::atomic<int> policyRequests{0};
};

}  // namespace keystone::testing
