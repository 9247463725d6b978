#include "tests/fakes/softhsm_token.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "platform/shared_library.h"

namespace keystone::testing {
namespace {

void Check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) {
    throw std::runtime_error(std::string("SoftHSM: ") + what + " failed, rv " + std::to_string(rv));
  }
}

std::string Padded32(const std::string& text) {
  std::string padded = text.substr(0, 32);
  padded.resize(32, ' ');
  return padded;
}

std::string Trimmed(const unsigned char* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// The module, initialised for one piece of fixture work and finalised after it, so the code
// under test later initialises it afresh with the current configuration.
class Module {
 public:
  explicit Module(const std::string& path) : library(path) {
    CK_C_GetFunctionList getList = nullptr;
    library.Resolve(getList, "C_GetFunctionList");
    Check(getList(&functions), "C_GetFunctionList");
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    Check(functions->C_Initialize(&args), "C_Initialize");
  }
  ~Module() { functions->C_Finalize(nullptr); }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  CK_FUNCTION_LIST* operator->() const { return functions; }

  std::vector<CK_SLOT_ID> Slots() const {
    CK_ULONG count = 0;
    Check(functions->C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
    std::vector<CK_SLOT_ID> slots(count);
    Check(functions->C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
    slots.resize(count);
    return slots;
  }

  // The slot whose token has this label; with an empty label the first initialised token.
  CK_SLOT_ID SlotOf(const std::string& label) const {
    for (CK_SLOT_ID slot : Slots()) {
      CK_TOKEN_INFO info{};
      if (functions->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
      if (!(info.flags & CKF_TOKEN_INITIALIZED)) continue;
      if (label.empty() || Trimmed(info.label, sizeof info.label) == label) return slot;
    }
    throw std::runtime_error("SoftHSM: no token labelled " + label);
  }

  CK_SLOT_ID FreeSlot() const {
    for (CK_SLOT_ID slot : Slots()) {
      CK_TOKEN_INFO info{};
      if (functions->C_GetTokenInfo(slot, &info) == CKR_OK &&
          !(info.flags & CKF_TOKEN_INITIALIZED)) {
        return slot;
      }
    }
    throw std::runtime_error("SoftHSM: no free slot");
  }

 private:
  platform::SharedLibrary library;
  CK_FUNCTION_LIST* functions = nullptr;
};

class Session {
 public:
  Session(const Module& module, CK_SLOT_ID slot) : m(module) {
    Check(m->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle),
          "C_OpenSession");
  }
  ~Session() { m->C_CloseSession(handle); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Login(CK_USER_TYPE user, const std::string& pin) {
    std::string copy = pin;
    Check(m->C_Login(handle, user, reinterpret_cast<CK_UTF8CHAR*>(copy.data()), copy.size()),
          "C_Login");
  }

  void Create(std::vector<CK_ATTRIBUTE> attributes) {
    CK_OBJECT_HANDLE object = 0;
    Check(m->C_CreateObject(handle, attributes.data(), attributes.size(), &object),
          "C_CreateObject");
  }

  CK_SESSION_HANDLE handle = 0;

 private:
  const Module& m;
};

std::vector<uint8_t> BigNumber(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) {
    throw std::runtime_error(std::string("SoftHSM: RSA parameter ") + name + " missing");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, bytes.data());
  BN_clear_free(bn);
  return bytes;
}

template <typename T>
CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, T& value) {
  return CK_ATTRIBUTE{type, &value, sizeof value};
}

CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& value) {
  return CK_ATTRIBUTE{type, value.data(), value.size()};
}

CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE type, std::string& value) {
  return CK_ATTRIBUTE{type, value.data(), value.size()};
}

}  // namespace

std::string SoftHsmToken::ModulePath() {
  const std::vector<std::string> candidates = {
#ifdef KEYSTONE_LIBRARY_ARCHITECTURE
      std::string("/usr/lib/") + KEYSTONE_LIBRARY_ARCHITECTURE + "/softhsm/libsofthsm2.so",
#endif
      "/usr/lib/softhsm/libsofthsm2.so", "/usr/local/lib/softhsm/libsofthsm2.so"};
  for (const std::string& path : candidates) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) return path;
  }
  return {};
}

SoftHsmToken::SoftHsmToken(SoftHsmTokenOptions tokenOptions)
    : options(std::move(tokenOptions)), modulePath(ModulePath()) {
  if (modulePath.empty()) throw std::runtime_error("SoftHSM2 is not installed");
  std::filesystem::create_directory(dir.File("tokens"));
  confPath = dir.File("softhsm2.conf");
  {
    std::ofstream conf(confPath);
    conf << "directories.tokendir = " << dir.File("tokens") << "\n"
         << "objectstore.backend = file\n"
         << "log.level = ERROR\n"
         << "slots.removable = false\n";
    if (!conf) throw std::runtime_error("SoftHSM: cannot write " + confPath);
  }
  if (const char* old = ::getenv("SOFTHSM2_CONF")) {
    hadConf = true;
    previousConf = old;
  }
  ::setenv("SOFTHSM2_CONF", confPath.c_str(), 1);
  AddToken(options.label, options.userPin);
}

SoftHsmToken::~SoftHsmToken() {
  if (hadConf) {
    ::setenv("SOFTHSM2_CONF", previousConf.c_str(), 1);
  } else {
    ::unsetenv("SOFTHSM2_CONF");
  }
}

void SoftHsmToken::AddToken(const std::string& label, const std::string& userPin) {
  Module module(modulePath);
  std::string soPin = options.soPin;
  std::string paddedLabel = Padded32(label);
  Check(module->C_InitToken(module.FreeSlot(), reinterpret_cast<CK_UTF8CHAR*>(soPin.data()),
                            soPin.size(), reinterpret_cast<CK_UTF8CHAR*>(paddedLabel.data())),
        "C_InitToken");
  Session session(module, module.SlotOf(label));
  session.Login(CKU_SO, soPin);
  std::string pin = userPin;
  Check(module->C_InitPIN(session.handle, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()),
        "C_InitPIN");
  module->C_Logout(session.handle);
  pins.emplace_back(label, userPin);
}

void SoftHsmToken::Import(const TestCertificate& certificate, const std::vector<uint8_t>& id,
                          const std::string& label, const std::string& tokenLabel) {
  ImportObjects(certificate, id, label, tokenLabel, true);
}

void SoftHsmToken::ImportCertificateOnly(const TestCertificate& certificate,
                                         const std::vector<uint8_t>& id, const std::string& label,
                                         const std::string& tokenLabel) {
  ImportObjects(certificate, id, label, tokenLabel, false);
}

void SoftHsmToken::ImportObjects(const TestCertificate& certificate,
                                 const std::vector<uint8_t>& id, const std::string& label,
                                 const std::string& tokenLabel, bool withKey) {
  if (withKey && !certificate.isRsa) {
    throw std::runtime_error("SoftHSM fixture imports RSA keys only");
  }
  const std::string token = tokenLabel.empty() ? pins.front().first : tokenLabel;
  std::string pin;
  for (const auto& [name, value] : pins) {
    if (name == token) pin = value;
  }
  Module module(modulePath);
  Session session(module, module.SlotOf(token));
  session.Login(CKU_USER, pin);

  std::vector<uint8_t> idCopy = id;
  std::string labelCopy = label;
  std::vector<uint8_t> value = certificate.der;
  const unsigned char* p = certificate.der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(certificate.der.size()));
  if (!x) throw std::runtime_error("SoftHSM fixture: certificate does not parse");
  unsigned char* subjectOut = nullptr;
  const int subjectLength = i2d_X509_NAME(X509_get_subject_name(x), &subjectOut);
  X509_free(x);
  std::vector<uint8_t> subject(subjectOut, subjectOut + std::max(subjectLength, 0));
  OPENSSL_free(subjectOut);

  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE certType = CKC_X_509;
  session.Create({Attribute(CKA_CLASS, certClass), Attribute(CKA_CERTIFICATE_TYPE, certType),
                  Attribute(CKA_TOKEN, yes), Attribute(CKA_PRIVATE, no),
                  Attribute(CKA_ID, idCopy), Attribute(CKA_LABEL, labelCopy),
                  Attribute(CKA_SUBJECT, subject), Attribute(CKA_VALUE, value)});
  if (!withKey) return;

  const unsigned char* k = certificate.privateKeyDer.data();
  EVP_PKEY* raw =
      d2i_AutoPrivateKey(nullptr, &k, static_cast<long>(certificate.privateKeyDer.size()));
  if (!raw) throw std::runtime_error("SoftHSM fixture: private key does not parse");
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(raw, EVP_PKEY_free);
  std::vector<uint8_t> n = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_N);
  std::vector<uint8_t> e = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_E);
  std::vector<uint8_t> d = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_D);
  std::vector<uint8_t> p1 = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
  std::vector<uint8_t> p2 = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
  std::vector<uint8_t> e1 = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
  std::vector<uint8_t> e2 = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
  std::vector<uint8_t> c = BigNumber(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  session.Create({Attribute(CKA_CLASS, privateClass), Attribute(CKA_KEY_TYPE, rsa),
                  Attribute(CKA_TOKEN, yes), Attribute(CKA_PRIVATE, yes),
                  Attribute(CKA_SENSITIVE, yes), Attribute(CKA_SIGN, yes),
                  Attribute(CKA_ID, idCopy), Attribute(CKA_LABEL, labelCopy),
                  Attribute(CKA_SUBJECT, subject), Attribute(CKA_MODULUS, n),
                  Attribute(CKA_PUBLIC_EXPONENT, e), Attribute(CKA_PRIVATE_EXPONENT, d),
                  Attribute(CKA_PRIME_1, p1), Attribute(CKA_PRIME_2, p2),
                  Attribute(CKA_EXPONENT_1, e1), Attribute(CKA_EXPONENT_2, e2),
                  Attribute(CKA_COEFFICIENT, c)});
  session.Create({Attribute(CKA_CLASS, publicClass), Attribute(CKA_KEY_TYPE, rsa),
                  Attribute(CKA_TOKEN, yes), Attribute(CKA_PRIVATE, no),
                  Attribute(CKA_VERIFY, yes), Attribute(CKA_ID, idCopy),
                  Attribute(CKA_LABEL, labelCopy), Attribute(CKA_MODULUS, n),
                  Attribute(CKA_PUBLIC_EXPONENT, e)});
  OPENSSL_cleanse(d.data(), d.size());
}

}  // namespace keystone::testing
