#include "tests/sim/sim_test_support.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "applet/applet_ids.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/metadata.h"

namespace kilnsim::testing {
namespace {

template <class F>
F Resolve(void* library, const char* name) {
  void* symbol = ::dlsym(library, name);
  if (!symbol) throw std::runtime_error(std::string("missing ") + name);
  return reinterpret_cast<F>(symbol);
}

KilnFunctions Load() {
  void* library = ::dlopen(KILN_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!library) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
  return KilnFunctions{
      Resolve<decltype(&KILN_Initialize)>(library, "KILN_Initialize"),
      Resolve<decltype(&KILN_Deinit)>(library, "KILN_Deinit"),
      Resolve<decltype(&KILN_GetVersionInfo)>(library, "KILN_GetVersionInfo"),
      Resolve<decltype(&KILN_Install2)>(library, "KILN_Install2"),
      Resolve<decltype(&KILN_Uninstall)>(library, "KILN_Uninstall"),
      Resolve<decltype(&KILN_CreateSession)>(library, "KILN_CreateSession"),
      Resolve<decltype(&KILN_CloseSession)>(library, "KILN_CloseSession"),
      Resolve<decltype(&KILN_ForceCloseSession)>(library, "KILN_ForceCloseSession"),
      Resolve<decltype(&KILN_SendAndRecv2)>(library, "KILN_SendAndRecv2"),
      library};
}

std::optional<mfab::ErrorMessage> ErrorOf(const mfab::Message& reply) {
  if (reply.messageType != mfab::message_type::kErrorReply) return std::nullopt;
  mfab::ErrorMessage error;
  error.Deserialize(reply.payload);
  return error;
}

void Accepted(const mfab::Message& reply, uint32_t expected) {
  if (reply.messageType != expected) {
    throw std::runtime_error("the applet refused: " + ErrorTextOf(reply));
  }
}

}  // namespace

mfab::Message AnswerTo(const mfab::Message& request, uint32_t type, const Bytes& payload) {
  mfab::Message answer = MakeRequest(type, payload, request.sessionId);
  answer.moduleId = request.moduleId;
  answer.isResponse = true;
  return answer;
}

Bytes BooleanPayload(int32_t value) {
  mfab::BooleanResponse response;
  response.result = value;
  return response.Serialize();
}

const KilnFunctions& Kiln() {
  static const KilnFunctions functions = Load();
  return functions;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kiln-sim-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void TempDir::WriteFile(const std::string& name, const std::string& content) const {
  const std::string temporary = path + "/" + name + ".new";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << content;
  std::filesystem::rename(temporary, path + "/" + name);
}

std::string TempDir::ReadFile(const std::string& name) const {
  std::ifstream in(path + "/" + name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

SimTest::SimTest() { ::setenv("KILN_SIM_STATE_DIR", state.Path().c_str(), 1); }

SimTest::~SimTest() { ::unsetenv("KILN_SIM_STATE_DIR"); }

Bytes HostDouble::Block(const std::vector<std::string>& names,
                        const std::vector<uint32_t>& categories, const std::string& user) const {
  // Like the engine's loader, a category counts only when its files exist.
  Bytes codes;
  for (uint32_t code : categories) {
    if (code == 0x0002 && (store.count("_Sys") == 0 || store.count("_Sys$Policy") == 0)) continue;
    if (code == 0x0101 && store.count("_U" + user) == 0) continue;
    mfab::AppendTlvUint(codes, 0x7BAD, code);
  }
  Bytes fileList;
  for (const std::string& name : names) {
    auto it = store.find(name);
    if (it == store.end()) continue;
    Bytes file;
    mfab::AppendTlv(file, 0x7BB0, name);
    mfab::AppendTlv(file, 0x7BB1, it->second);
    mfab::AppendTlv(fileList, 0x7BAF, file);
  }
  Bytes userSection;
  if (!user.empty()) mfab::AppendTlv(userSection, 0x7BB3, user);
  Bytes body;
  mfab::AppendTlv(body, 0x7BAC, codes);
  mfab::AppendTlv(body, 0x7BAE, fileList);
  mfab::AppendTlv(body, 0x7BB2, userSection);
  Bytes block;
  mfab::AppendTlv(block, 0x0006, body);
  return block;
}

Bytes HostDouble::InitBlock() const {
  if (store.count("_Sys") == 0 || store.count("_Sys$Policy") == 0) return {};
  return Block({"_Sys", "_Sys$Policy"}, {0x0002});
}

std::optional<mfab::Message> HostDouble::Answer(const mfab::Message& reply) {
  switch (reply.messageType) {
    case mfab::message_type::kSaveRequest: {
      mfab::SaveRequest save;
      save.Deserialize(reply.payload);
      store["_masterVersions"] = save.masterVersionsData;
      store[save.secondFileName] = save.secondFileData;
      store[save.firstFileName] = save.firstFileData;
      return AnswerTo(reply, mfab::message_type::kSaveResponse, BooleanPayload(1));
    }
    case mfab::message_type::kClearDataRequest:
      store.clear();
      return AnswerTo(reply, mfab::message_type::kClearDataResponse, BooleanPayload(0));
    case mfab::message_type::kDeleteLevel1Request: {
      mfab::DeleteLevel1Request remove;
      remove.Deserialize(reply.payload);
      store["_masterVersions"] = remove.masterVersionsData;
      std::erase_if(store,
                    [&](const auto& entry) { return entry.first.starts_with(remove.namePrefix); });
      return AnswerTo(reply, mfab::message_type::kDeleteLevel1Response, BooleanPayload(0));
    }
    default:
      return std::nullopt;
  }
}

mfab::Message MakeRequest(uint32_t type, Bytes payload, uint32_t sessionId) {
  mfab::Message request;
  request.moduleId = 3;
  request.messageType = type;
  request.category = 0;
  request.payload = std::move(payload);
  request.sessionId = sessionId;
  return request;
}

Bytes InitData(const Bytes& block) {
  Bytes init;
  mfab::AppendTlvInt(init, 0x0000, 3);
  init.insert(init.end(), block.begin(), block.end());
  return init;
}

mfab::Message EnrollRequest(const std::string& sid, const std::string& factorId) {
  mfab::SaveEnrollmentDataRequest store;
  store.user = sid;
  store.factorId = factorId;
  return MakeRequest(mfab::message_type::kSaveEnrollmentDataRequest, store.Serialize());
}

mfab::Message RemoveUserRequest(const std::string& sid) {
  Bytes payload;
  mfab::AppendTlv(payload, tag::kUser, sid);
  return MakeRequest(sim_type::kRemoveUserRequest, payload);
}

mfab::Message UserDataRequest(const std::string& sid, uint32_t sessionId) {
  mfab::GetUserDataRequest query;
  query.user = sid;
  return MakeRequest(mfab::message_type::kGetUserDataRequest, query.Serialize(), sessionId);
}

uint16_t ErrorCodeOf(const mfab::Message& reply) {
  const auto error = ErrorOf(reply);
  return error ? error->errorCode : 0;
}

std::string ErrorTextOf(const mfab::Message& reply) {
  const auto error = ErrorOf(reply);
  return error ? error->errorText : std::string();
}

int32_t BooleanOf(const mfab::Message& reply) {
  mfab::BooleanResponse response;
  response.Deserialize(reply.payload);
  return response.result;
}

std::vector<UserData> UsersOf(const mfab::Message& reply) {
  mfab::GetUserDataResponse response;
  response.Deserialize(reply.payload);
  return ParseUserData(response.userData);
}

SimClient::SimClient(HostDouble& hostDouble, bool install) : host(hostDouble) {
  if (Kiln().initialize(&handle, nullptr, 0) != KILN_STATUS_SUCCESS)
    throw std::runtime_error("KILN_Initialize");
  if (!install) return;
  if (Kiln().install2(handle, keystone::kAuthenticationAppletId, "/opt/applets/auth.img") != 0) {
    throw std::runtime_error("KILN_Install2");
  }
  if (Open(InitData(host.InitBlock())) != KILN_STATUS_SUCCESS)
    throw std::runtime_error("KILN_CreateSession");
}

SimClient::~SimClient() {
  if (session) Kiln().closeSession(handle, &session);
  if (handle) Kiln().deinit(handle);
}

KILN_STATUS SimClient::Open(const Bytes& initData) {
  const KILN_INIT_BUFFER buffer{initData.data(), static_cast<uint32_t>(initData.size())};
  return Kiln().createSession(handle, keystone::kAuthenticationAppletId, KILN_SESSION_FLAG_DEFAULT,
                              &buffer, &session);
}

KILN_STATUS SimClient::Exchange(uint32_t commandId, const Bytes& request, Bytes& reply,
                                uint32_t capacity) {
  reply.assign(capacity, 0);
  KILN_COMM_BUFFER buffer{request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                          capacity};
  uint32_t responseCode = 0xFFFF;
  const KILN_STATUS status =
      Kiln().sendAndRecv2(handle, session, commandId, &buffer, &responseCode);
  reply.resize(status == KILN_STATUS_SUCCESS ? buffer.receiveLength : 0);
  return status;
}

mfab::Message SimClient::Send(uint32_t commandId, const mfab::Message& request,
                              const Bytes& block) {
  Bytes bytes = request.Serialize();
  bytes.insert(bytes.end(), block.begin(), block.end());
  Bytes reply;
  const KILN_STATUS status = Exchange(commandId, bytes, reply);
  if (status != KILN_STATUS_SUCCESS)
    throw std::runtime_error("KILN_SendAndRecv2 returned " + std::to_string(status));
  return mfab::Message::Parse(reply);
}

mfab::Message SimClient::Run(const mfab::Message& request, const Bytes& block) {
  mfab::Message reply = Send(0, request, block);
  while (std::optional<mfab::Message> answer = host.Answer(reply)) reply = Send(0, *answer);
  return reply;
}

mfab::Message SimClient::GetPolicy(const Bytes& block) {
  return Send(0, MakeRequest(mfab::message_type::kGetPolicyDataRequest), block);
}

mfab::Message SimClient::GetUserData(const std::string& sid) {
  return Send(0, UserDataRequest(sid),
              host.Block({UserRootName(sid), EnrollmentName(sid, "SmartCard"),
                          EnrollmentName(sid, "Phone")},
                         {0x0101}, sid));
}

void SimClient::SetPolicy(const Bytes& policy) {
  const mfab::Message reply = Run(MakeRequest(sim_type::kSetPolicyRequest, policy));
  Accepted(reply, sim_type::kSetPolicyResponse);
  if (BooleanOf(reply) != 0) throw std::runtime_error("the policy was not set");
}

void SimClient::Enroll(const std::string& sid, const std::string& factorId) {
  Accepted(Run(EnrollRequest(sid, factorId)), mfab::message_type::kSaveEnrollmentDataResponse);
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
