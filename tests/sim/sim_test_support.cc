#include "tests/sim/sim_test_support.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "applet/applet_ids.h"
#include "sim/applet/policy.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/metadata.h"

namespace kilnsim::testing {
namespace {

// An empty error (code 0) when the reply is no error.
mfab::ErrorMessage ErrorOf(const mfab::Message& reply) {
  mfab::ErrorMessage error;
  if (reply.messageType == mfab::message_type::kErrorReply) error.Deserialize(reply.payload);
  return error;
}

}  // namespace

mfab::SharedKilnLibrary& Kiln() {
  static mfab::SharedKilnLibrary library(KILN_SIM_LIBRARY);
  return library;
}

void TempDir::WriteFile(const std::string& name, const std::string& content) const {
  std::filesystem::create_directories(std::filesystem::path(File(name)).parent_path());
  std::ofstream(File(name) + ".new", std::ios::binary | std::ios::trunc) << content;
  std::filesystem::rename(File(name) + ".new", File(name));
}

mfab::Message MakeRequest(uint32_t type, Bytes payload, uint32_t sessionId) {
  mfab::Message request;
  request.moduleId = 3;
  request.messageType = type;
  request.payload = std::move(payload);
  request.sessionId = sessionId;
  return request;
}

Bytes InitData() {
  Bytes init;
  mfab::AppendTlvInt(init, 0x0000, 3);
  return init;
}

mfab::Message EnrollRequest(const std::string& sid, const std::string& factorId) {
  mfab::SaveEnrollmentDataRequest store;
  store.user = sid;
  store.factorId = factorId;
  return MakeRequest(mfab::message_type::kSaveEnrollmentDataRequest, store.Serialize());
}

uint16_t ErrorCodeOf(const mfab::Message& reply) { return ErrorOf(reply).errorCode; }

std::string ErrorTextOf(const mfab::Message& reply) { return ErrorOf(reply).errorText; }

SimClient::SimClient(bool install) {
  if (Kiln().Initialize(&handle, nullptr, 0) != KILN_STATUS_SUCCESS)
    throw std::runtime_error("KILN_Initialize");
  if (!install) return;
  if (Kiln().Install2(handle, keystone::kAuthenticationAppletId, "/opt/applets/auth.img") != 0) {
    throw std::runtime_error("KILN_Install2");
  }
  if (Open(InitData()) != KILN_STATUS_SUCCESS) throw std::runtime_error("KILN_CreateSession");
}

SimClient::~SimClient() {
  if (session) Kiln().CloseSession(handle, &session);
  if (handle) Kiln().Deinit(handle);
}

KILN_STATUS SimClient::Open(const Bytes& initData) {
  const KILN_INIT_BUFFER buffer{initData.data(), static_cast<uint32_t>(initData.size())};
  return Kiln().CreateSession(handle, keystone::kAuthenticationAppletId, KILN_SESSION_FLAG_DEFAULT,
                              &buffer, &session);
}

KILN_STATUS SimClient::Exchange(uint32_t commandId, const Bytes& request, Bytes& reply,
                                uint32_t capacity) {
  reply.assign(capacity, 0);
  KILN_COMM_BUFFER buffer{request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                          capacity};
  uint32_t responseCode = 0xFFFF;
  const KILN_STATUS status =
      Kiln().SendAndRecv2(handle, session, commandId, &buffer, &responseCode);
  reply.resize(buffer.receiveLength);
  return status;
}

mfab::Message SimClient::Send(uint32_t commandId, const mfab::Message& request) {
  Bytes reply;
  const KILN_STATUS status = Exchange(commandId, request.Serialize(), reply);
  if (status != KILN_STATUS_SUCCESS)
    throw std::runtime_error("KILN_SendAndRecv2 returned " + std::to_string(status));
  return mfab::Message::Parse(reply);
}

mfab::Message SimClient::Run(const mfab::Message& request) {
  mfab::Message reply = Send(0, request);
  while (reply.messageType == mfab::message_type::kSaveRequest) {
    mfab::BooleanResponse stored;
    stored.result = 1;
    mfab::Message answer =
        MakeRequest(mfab::message_type::kSaveResponse, stored.Serialize(), reply.sessionId);
    answer.isResponse = true;
    reply = Send(0, answer);
  }
  return reply;
}

Bytes SamplePolicy(const std::string& firstFactorName) {
  Policy policy;
  PolicyFactor card{"SmartCard", firstFactorName,    4, false, true, true, true, 300,
                    30,          {{"Reader", "any"}}};
  PolicyFactor phone{"Phone", "Phone nearby", 1, true, false, false, true, 600, 60, {}};
  policy.factors = {card, phone};
  policy.actions = {
      PolicyAction{"OSLogin",
                   {{SetEntry{"SmartCard", {}}}, {SetEntry{"Phone", {{"Rssi", "-60"}}}}}},
      PolicyAction{"VPN", {{SetEntry{"SmartCard", {}}, SetEntry{"Phone", {}}}}}};
  policy.settings = {SystemSetting{"LockOnLeave", 4, {0, 0, 0, 1}}};
  return SerializePolicy(policy);
}

}  // namespace kilnsim::testing
