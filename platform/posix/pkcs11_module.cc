#include "platform/pkcs11_module.h"

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "platform/shared_library.h"

namespace platform {
namespace {

std::string Hex(CK_RV rv) {
  char text[24];
  std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(rv));
  return text;
}

Pkcs11Failure FailureOf(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
      return Pkcs11Failure::kPinIncorrect;
    case CKR_PIN_LEN_RANGE:
      return Pkcs11Failure::kPinLength;
    case CKR_PIN_LOCKED:
      return Pkcs11Failure::kPinLocked;
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SLOT_ID_INVALID:
      return Pkcs11Failure::kNoToken;
    default:
      return Pkcs11Failure::kOther;
  }
}

void Check(CK_RV rv, const char* call) {
  if (rv != CKR_OK) throw Pkcs11Error(FailureOf(rv), rv, std::string(call) + " failed: " + Hex(rv));
}

// A fixed-width, blank-padded PKCS#11 text field without its padding.
std::string Trimmed(const unsigned char* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  const size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

bool Known(CK_ULONG value) { return value != CK_UNAVAILABLE_INFORMATION && value != 0; }

class Session {
 public:
  Session(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot) : f(functions) {
    Check(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle), "C_OpenSession");
  }
  ~Session() { f->C_CloseSession(handle); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Handles of the objects matching the template, at most max.
  std::vector<CK_OBJECT_HANDLE> Find(std::vector<CK_ATTRIBUTE> query, size_t max) {
    Check(f->C_FindObjectsInit(handle, query.data(), query.size()), "C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> objects(max);
    CK_ULONG found = 0;
    const CK_RV rv = f->C_FindObjects(handle, objects.data(), objects.size(), &found);
    f->C_FindObjectsFinal(handle);
    Check(rv, "C_FindObjects");
    objects.resize(std::min<size_t>(found, max));
    return objects;
  }

  // One attribute's bytes; empty when the object lacks it; Pkcs11Error past maxSize.
  std::vector<uint8_t> Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                 size_t maxSize) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    const CK_RV rv = f->C_GetAttributeValue(handle, object, &attribute, 1);
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
      return {};
    }
    Check(rv, "C_GetAttributeValue");
    if (attribute.ulValueLen > maxSize) {
      throw Pkcs11Error(Pkcs11Failure::kOther, 0, "attribute larger than " + std::to_string(maxSize));
    }
    std::vector<uint8_t> value(attribute.ulValueLen);
    attribute.pValue = value.data();
    Check(f->C_GetAttributeValue(handle, object, &attribute, 1), "C_GetAttributeValue");
    value.resize(std::min<size_t>(attribute.ulValueLen, value.size()));
    return value;
  }

  CK_SESSION_HANDLE handle = 0;

 private:
  CK_FUNCTION_LIST* f;
};

// One initialised module per file in the process. C_Initialize and C_Finalize act on the whole
// process and are not safe to run concurrently, and log-in state is the token's, so every user of
// the same module shares this one instance; the last to go finalises it.
class InitialisedLibrary {
 public:
  explicit InitialisedLibrary(const std::string& path) {
    try {
      library = std::make_unique<SharedLibrary>(path);
      CK_C_GetFunctionList getList = nullptr;
      library->Resolve(getList, "C_GetFunctionList");
      if (getList(&functions) != CKR_OK || functions == nullptr) {
        throw SharedLibraryError("C_GetFunctionList failed in " + path);
      }
    } catch (const SharedLibraryError& e) {
      throw Pkcs11Error(Pkcs11Failure::kLoad, 0, e.what());
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = functions->C_Initialize(&args);
    // Initialised outside this file's knowledge (a library of ours does not do that, a third
    // party in the process might): share it and leave finalising to whoever did.
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) return;
    if (rv != CKR_OK) {
      throw Pkcs11Error(Pkcs11Failure::kInitialize, rv, "C_Initialize failed: " + Hex(rv));
    }
    finalize = true;
  }
  ~InitialisedLibrary() {
    if (finalize) functions->C_Finalize(nullptr);
  }
  InitialisedLibrary(const InitialisedLibrary&) = delete;
  InitialisedLibrary& operator=(const InitialisedLibrary&) = delete;

  // Loads the module at path, or shares the instance already loaded. Loading happens under the
  // registry's lock, which is what keeps two C_Initialize calls apart.
  static std::shared_ptr<InitialisedLibrary> Acquire(const std::string& path) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<InitialisedLibrary>> loaded;
    std::error_code error;
    std::string key = std::filesystem::weakly_canonical(path, error).string();
    if (error || key.empty()) key = path;
    std::lock_guard lock(mutex);
    if (auto existing = loaded[key].lock()) return existing;
    auto library = std::make_shared<InitialisedLibrary>(path);
    loaded[key] = library;
    return library;
  }

  CK_FUNCTION_LIST* functions = nullptr;
  // The log-in state belongs to the token, not to a session: two signers on one token would log
  // each other out, so signatures through this module take turns.
  std::mutex signMutex;
  // SoftHSM2 fills the token's clock field with gmtime(), which is not reentrant, so token
  // information is asked for one call at a time.
  std::mutex tokenInfoMutex;

  CK_RV TokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info) {
    std::lock_guard lock(tokenInfoMutex);
    return functions->C_GetTokenInfo(slot, &info);
  }

 private:
  std::unique_ptr<SharedLibrary> library;
  bool finalize = false;
};

class LoadedModule : public Pkcs11Module {
 public:
  explicit LoadedModule(const std::string& modulePath)
      : path(modulePath), shared(InitialisedLibrary::Acquire(path)), f(shared->functions) {}

  const std::string& Path() const override { return path; }

  std::vector<Pkcs11Slot> Slots() override {
    std::vector<CK_SLOT_ID> ids(8);
    for (;;) {
      CK_ULONG count = ids.size();
      const CK_RV rv = f->C_GetSlotList(CK_TRUE, ids.data(), &count);
      if (rv == CKR_BUFFER_TOO_SMALL && count <= kMaxObjects) {
        ids.resize(count);
        continue;
      }
      Check(rv, "C_GetSlotList");
      ids.resize(std::min<size_t>(count, ids.size()));
      break;
    }
    std::vector<Pkcs11Slot> slots;
    for (CK_SLOT_ID id : ids) {
      CK_SLOT_INFO slotInfo{};
      CK_TOKEN_INFO tokenInfo{};
      // A card pulled between the listing and here is simply not there.
      if (f->C_GetSlotInfo(id, &slotInfo) != CKR_OK) continue;
      if (shared->TokenInfo(id, tokenInfo) != CKR_OK) continue;
      // A blank token (SoftHSM always offers one) holds nothing to use.
      if (!(tokenInfo.flags & CKF_TOKEN_INITIALIZED)) continue;
      Pkcs11Slot slot;
      slot.id = id;
      slot.description = Trimmed(slotInfo.slotDescription, sizeof slotInfo.slotDescription);
      slot.tokenLabel = Trimmed(tokenInfo.label, sizeof tokenInfo.label);
      slot.loginRequired = tokenInfo.flags & CKF_LOGIN_REQUIRED;
      slot.protectedAuthenticationPath = tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
      slot.maxPinLength = Known(tokenInfo.ulMaxPinLen) ? tokenInfo.ulMaxPinLen : 0;
      slot.minPinLength = Known(tokenInfo.ulMinPinLen) ? tokenInfo.ulMinPinLen : 0;
      slot.pinLocked = tokenInfo.flags & CKF_USER_PIN_LOCKED;
      slot.pinFinalTry = tokenInfo.flags & CKF_USER_PIN_FINAL_TRY;
      slots.push_back(std::move(slot));
    }
    return slots;
  }

  std::vector<Pkcs11Certificate> Certificates(unsigned long slot) override {
    Session session(f, slot);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    std::vector<Pkcs11Certificate> certificates;
    for (CK_OBJECT_HANDLE object :
         session.Find({{CKA_CLASS, &certClass, sizeof certClass},
                       {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}},
                      kMaxObjects)) {
      Pkcs11Certificate certificate;
      certificate.id = session.Attribute(object, CKA_ID, 256);
      const std::vector<uint8_t> label = session.Attribute(object, CKA_LABEL, 256);
      certificate.label.assign(label.begin(), label.end());
      certificate.value = session.Attribute(object, CKA_VALUE, kMaxCertificateSize);
      if (!certificate.value.empty()) certificates.push_back(std::move(certificate));
    }
    return certificates;
  }

  std::vector<uint8_t> SignDigestInfo(unsigned long slot, std::span<const uint8_t> keyId,
                                      const std::optional<std::string>& pin,
                                      std::span<const uint8_t> digestInfo) override {
    if (pin) {
      CK_TOKEN_INFO info{};
      Check(shared->TokenInfo(slot, info), "C_GetTokenInfo");
      const bool tooLong = pin->size() > kMaxPinLength ||
                           (Known(info.ulMaxPinLen) && pin->size() > info.ulMaxPinLen);
      if (tooLong) throw Pkcs11Error(Pkcs11Failure::kPinLength, 0, "PIN longer than the token takes");
    }
    std::lock_guard lock(shared->signMutex);
    Session session(f, slot);
    bool loggedIn = false;
    if (pin) {
      std::string copy = *pin;
      const CK_RV rv = f->C_Login(session.handle, CKU_USER,
                                  reinterpret_cast<CK_UTF8CHAR*>(copy.data()), copy.size());
      std::fill(copy.begin(), copy.end(), '\0');
      if (rv != CKR_USER_ALREADY_LOGGED_IN) Check(rv, "C_Login");
      loggedIn = rv == CKR_OK;
    }
    struct Logout {
      CK_FUNCTION_LIST* f;
      CK_SESSION_HANDLE session;
      bool active;
      ~Logout() {
        if (active) f->C_Logout(session);
      }
    } logout{f, session.handle, loggedIn};

    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::vector<uint8_t> id(keyId.begin(), keyId.end());
    const std::vector<CK_OBJECT_HANDLE> keys =
        session.Find({{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}}, 1);
    if (keys.empty()) throw Pkcs11Error(Pkcs11Failure::kNoKey, 0, "no private key with this id");
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    Check(f->C_SignInit(session.handle, &mechanism, keys.front()), "C_SignInit");
    std::vector<uint8_t> data(digestInfo.begin(), digestInfo.end());
    CK_ULONG length = 0;
    Check(f->C_Sign(session.handle, data.data(), data.size(), nullptr, &length), "C_Sign");
    if (length == 0 || length > 2048) {
      throw Pkcs11Error(Pkcs11Failure::kOther, 0, "signature length out of range");
    }
    std::vector<uint8_t> signature(length);
    Check(f->C_Sign(session.handle, data.data(), data.size(), signature.data(), &length), "C_Sign");
    signature.resize(std::min<size_t>(length, signature.size()));
    return signature;
  }

 private:
  std::string path;
  std::shared_ptr<InitialisedLibrary> shared;
  CK_FUNCTION_LIST* f;
};

}  // namespace

std::unique_ptr<Pkcs11Module> LoadPkcs11Module(const std::string& path) {
  return std::make_unique<LoadedModule>(path);
}

std::string DefaultPkcs11ModulePath() {
#ifdef KEYSTONE_LIBRARY_ARCHITECTURE
  if (sizeof(KEYSTONE_LIBRARY_ARCHITECTURE) > 1) {
    return std::string("/usr/lib/") + KEYSTONE_LIBRARY_ARCHITECTURE + "/opensc-pkcs11.so";
  }
#endif
  return "/usr/lib/opensc-pkcs11.so";
}

}  // namespace platform
