// Writes the seed corpus of the simulated applet's fuzz target into the directory named by argv[1]:
// conversations in the target's frame format that set a policy, read it back from sealed blobs
// (made with the target's fixed device key), store an enrollment, remove a user, clear, and run the
// upgrade exchange, and a smart card's chain check, challenge and signature.

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
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
#include "common/hex.h"
#include "tlv/piggyback_block.h"
#include "tlv/smart_card_messages.h"

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

// A self-signed RSA CA as the card's certificate: its certs-only bundle, SHA-1 and SHA-256.
struct SeedCard {
  Bytes bundle;
  std::string sha1;
  std::string sha256;
};

SeedCard MakeSeedCard() {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 10L * 365 * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Seed Card"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509_set_pubkey(certificate, key);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* ca = X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, "CA:TRUE");
  X509_add_ext(certificate, ca, -1);
  X509_EXTENSION_free(ca);
  X509_sign(certificate, key, EVP_sha256());
  SeedCard card;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  X509_digest(certificate, EVP_sha1(), digest, &size);
  card.sha1 = keystone::ToHex(std::span<const uint8_t>(digest, size));
  X509_digest(certificate, EVP_sha256(), digest, &size);
  card.sha256 = keystone::ToHex(std::span<const uint8_t>(digest, size));
  STACK_OF(X509)* certificates = sk_X509_new_null();
  sk_X509_push(certificates, certificate);
  PKCS7* p7 = PKCS7_sign(nullptr, nullptr, certificates, nullptr, PKCS7_PARTIAL);
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(p7, &der);
  card.bundle.assign(der, der + length);
  OPENSSL_free(der);
  PKCS7_free(p7);
  sk_X509_free(certificates);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return card;
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

  input.clear();
  const SeedCard card = MakeSeedCard();
  kilnsim::Policy cardPolicy;
  cardPolicy.factors = {kilnsim::PolicyFactor{
      "PhysicalSmartcard", "Smart card", 4, false, true, true, true, 300, 30,
      {{"CaCertificateThumbprint0", card.sha256}, {"AllowPinReplay", "true"}}}};
  Frame(input, 0,
        MessageBytes(kilnsim::sim_type::kSetPolicyRequest, kilnsim::SerializePolicy(cardPolicy)));
  Frame(input, 0, MessageBytes(mt::kSaveResponse, saved.Serialize(), true));
  SmartCardFactor::SmartCardDataForEnrollment cardData;
  cardData.certificateBundle = card.bundle;
  cardData.text5B = "Seed Reader";
  cardData.text5D = card.sha1;
  cardData.user = sid;
  cardData.value5F = 1;
  Frame(input, 0, MessageBytes(mt::kSmartCardDataForEnrollment, cardData.Serialize()));
  SmartCardFactor::SmartCardChallengeRequest ask;
  ask.user = sid;
  Frame(input, 0, MessageBytes(mt::kSmartCardChallengeRequest, ask.Serialize()));
  ValidateChallengeResponseRequest answer;
  answer.signature = Bytes(256, 0x42);
  answer.user = sid;
  Frame(input, 0, MessageBytes(mt::kValidateChallengeResponseRequest, answer.Serialize()));
  store.factorId = "PhysicalSmartcard";
  Frame(input, 0, MessageBytes(mt::kSaveEnrollmentDataRequest, store.Serialize()));
  Write(dir, "smart_card", input);
  return 0;
}
