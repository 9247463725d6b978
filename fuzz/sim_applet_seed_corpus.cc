// Writes the seed corpus of the simulated applet's fuzz target into the directory named by argv[1]:
// conversations in the target's frame format that set a policy, read it back from sealed blobs
// (made with the target's fixed device key), store an enrollment, remove a user, clear, and run the
// upgrade exchange.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/applet/firmware.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "sim/applet/sealing.h"
#include "sim/applet/state_files.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/piggyback_block.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace mt = mfab::message_type;

Bytes MessageBytes(uint32_t type, const Bytes& payload, bool isResponse = false,
                   const Bytes& block = {}) {
  mfab::Message message;
  message.moduleId = 3;
  message.messageType = type;
  message.payload = payload;
  message.isResponse = isResponse;
  message.sessionId = 9;
  Bytes out = message.Serialize();
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

void Frame(Bytes& input, uint8_t kind, const Bytes& body) {
  input.push_back(kind);
  input.push_back(static_cast<uint8_t>(body.size() >> 8));
  input.push_back(static_cast<uint8_t>(body.size()));
  input.insert(input.end(), body.begin(), body.end());
}

Bytes Boolean(int32_t value) {
  mfab::BooleanResponse response;
  response.result = value;
  return response.Serialize();
}

Bytes SampleFactors() {
  kilnsim::Policy policy;
  policy.factors = {
      kilnsim::PolicyFactor{
          "Card", "Smart card", 4, false, true, true, true, 300, 30, {{"Reader", "any"}}},
      kilnsim::PolicyFactor{"Phone", "Phone", 1, true, false, false, true, 60, 6, {}}};
  policy.actions = {kilnsim::PolicyAction{
      "OSLogin", {{kilnsim::SetEntry{"Card", {}}}, {kilnsim::SetEntry{"Phone", {}}}}}};
  policy.settings = {kilnsim::SystemSetting{"LockOnLeave", 4, {0, 0, 0, 1}}};
  return kilnsim::SerializePolicy(policy);
}

Bytes Block(const std::vector<std::pair<std::string, Bytes>>& files, uint32_t category,
            const std::string& user = {}) {
  Bytes codes, list, userSection, body, block;
  mfab::AppendTlvUint(codes, 0x7BAD, category);
  for (const auto& [name, content] : files) {
    Bytes file;
    mfab::AppendTlv(file, 0x7BB0, name);
    mfab::AppendTlv(file, 0x7BB1, content);
    mfab::AppendTlv(list, 0x7BAF, file);
  }
  if (!user.empty()) mfab::AppendTlv(userSection, 0x7BB3, user);
  mfab::AppendTlv(body, 0x7BAC, codes);
  mfab::AppendTlv(body, 0x7BAE, list);
  mfab::AppendTlv(body, 0x7BB2, userSection);
  mfab::AppendTlv(block, 0x0006, body);
  return block;
}

void Write(const std::filesystem::path& dir, const std::string& name, const Bytes& input) {
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(input.data()),
             static_cast<std::streamsize>(input.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  kilnsim::SealingKey device;
  device.fill(0x5A);
  const kilnsim::SealingKey key = kilnsim::DeriveSealingKey(device, 1);
  const std::string sid = "S-1-5-21-1-2-3-1001";
  const Bytes policy = SampleFactors();
  const Bytes sys =
      kilnsim::SealBlob(key, "_Sys", {1, 1}, kilnsim::SerializeSystemRecord({1, 1700000000}));
  const Bytes sealedPolicy = kilnsim::SealBlob(key, "_Sys$Policy", {1, 1}, policy);
  const Bytes user =
      kilnsim::SealBlob(key, "_U" + sid, {1, 1}, kilnsim::SerializeUserRecord({sid, 1700000000}));
  const Bytes enrollment = kilnsim::SealBlob(
      key, "_U" + sid + "$ECard", {1, 1},
      kilnsim::SerializeEnrollmentRecord({"Card", 1700000000, {{"Serial", "42"}}, {}}));
  mfab::SaveResponse saved;
  saved.result = 1;

  Bytes input;
  Frame(input, 0, MessageBytes(kilnsim::sim_type::kSetPolicyRequest, policy));
  Frame(input, 0, MessageBytes(mt::kSaveResponse, saved.Serialize(), true));
  Frame(input, 0, MessageBytes(mt::kGetPolicyDataRequest, {}));
  Write(dir, "set_policy", input);

  input.clear();
  Frame(input, 0,
        MessageBytes(
            mt::kGetPolicyDataRequest, {}, false,
            Block({{"_Sys", sys}, {"_Sys$Policy", sealedPolicy}}, mfab::data_category::kPolicy)));
  mfab::GetUserDataRequest query;
  query.user = sid;
  Frame(input, 0,
        MessageBytes(mt::kGetUserDataRequest, query.Serialize(), false,
                     Block({{"_U" + sid, user}, {"_U" + sid + "$ECard", enrollment}},
                           mfab::data_category::kUserEnrollment, sid)));
  Write(dir, "delivered", input);

  input.clear();
  Bytes init;
  mfab::AppendTlvInt(init, 0x0000, 3);
  const Bytes initBlock =
      Block({{"_Sys", sys}, {"_Sys$Policy", sealedPolicy}}, mfab::data_category::kPolicy);
  init.insert(init.end(), initBlock.begin(), initBlock.end());
  Frame(input, 3, init);
  mfab::SaveEnrollmentDataRequest store;
  store.user = sid;
  store.factorId = "Phone";
  Frame(input, 0, MessageBytes(mt::kSaveEnrollmentDataRequest, store.Serialize()));
  Frame(input, 0, MessageBytes(mt::kSaveResponse, saved.Serialize(), true));
  Bytes removal;
  mfab::AppendTlv(removal, kilnsim::tag::kUser, std::string_view(sid));
  Frame(input, 0, MessageBytes(kilnsim::sim_type::kRemoveUserRequest, removal));
  Frame(input, 0, MessageBytes(mt::kDeleteLevel1Response, Boolean(0), true));
  Frame(input, 0, MessageBytes(mt::kClientClearData, {}));
  Frame(input, 0, MessageBytes(mt::kClearDataResponse, Boolean(0), true));
  Frame(input, 1, {});
  Write(dir, "enroll_remove_clear", input);

  input.clear();
  AuthenticateFlows::AuthenticateFactorRequest check;
  check.user = sid;
  check.factorId = "Card";
  Frame(input, 0, MessageBytes(mt::kCheckHostFactorRequest, check.Serialize()));
  Frame(input, 0, MessageBytes(mt::kFactorResultResponse, Boolean(0), true));
  Write(dir, "host_factor_check", input);

  input.clear();
  Frame(input, 0, MessageBytes(kilnsim::sim_type::kSetPolicyRequest, policy));
  Frame(input, 0, MessageBytes(mt::kSaveResponse, saved.Serialize(), true));
  Frame(input, 4, {});
  Frame(input, 0, MessageBytes(mt::kGetPolicyDataRequest, {}));
  mfab::DataMigrationMessage migration;
  for (const auto& [name, blob] : std::vector<std::pair<std::string, Bytes>>{
           {"_Sys.SDS", sys}, {"_Sys$Policy.SDS", sealedPolicy}}) {
    mfab::FileData file;
    file.fileName = name;
    file.content = blob;
    migration.files.push_back(file);
  }
  Frame(input, 2, MessageBytes(mt::kDataMigrationRequest, migration.Serialize()));
  mfab::SaveMigratedFilesResponse migrated;
  migrated.result = 1;
  Frame(input, 2, MessageBytes(mt::kSaveResponse, migrated.Serialize(), true));
  Frame(input, 2, MessageBytes(mt::kSaveResponse, saved.Serialize(), true));
  Write(dir, "upgrade", input);

  input.clear();
  mfab::ClearActionTimeoutCacheRequest clear;
  clear.actionId = "OSLogin";
  Frame(input, 0, MessageBytes(mt::kClearActionTimeoutCacheRequest, clear.Serialize()));
  Frame(input, 0, MessageBytes(0xABBA1234, {}));
  Write(dir, "misc", input);
  return 0;
}
