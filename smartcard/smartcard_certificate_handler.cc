#include "smartcard/smartcard_certificate_handler.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>

#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/registry.h"
#include "smartcard/exceptions.h"

namespace CertificateStore {
namespace {

using mfab::FormatLogMessage;
using mfab::kLogError;
using mfab::kLogInfo;
using mfab::kLogWarning;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

constexpr const char* kPkcs11ModuleValue = "Pkcs11Module";
constexpr const char* kTokensAsReadersValue = "TokensAsReaders";
// OpenSC puts the reader's name into the 64-byte slot description.
constexpr size_t kSlotDescriptionSize = 64;
// The DER prefix of a SHA-256 DigestInfo; the digest follows.
constexpr uint8_t kSha256DigestInfoPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                               0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                               0x01, 0x05, 0x00, 0x04, 0x20};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string TrimmedRight(std::string text) {
  const size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

bool FromHex(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 512) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

bool IsCa(X509* certificate) { return X509_check_ca(certificate) != 0; }

}  // namespace

std::vector<std::string> ExtendedKeyUsages(X509* certificate) {
  std::vector<std::string> usages;
  int critical = 0;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(
      X509_get_ext_d2i(certificate, NID_ext_key_usage, &critical, nullptr));
  if (eku == nullptr) return usages;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(eku, i), 1);
    if (length > 0 && static_cast<size_t>(length) < sizeof text) usages.emplace_back(text);
  }
  EXTENDED_KEY_USAGE_free(eku);
  return usages;
}

Pkcs11Loader Pkcs11LoaderFromRegistry(platform::Registry& registry) {
  return [&registry]() {
    std::string path = platform::DefaultPkcs11ModulePath();
    try {
      const auto value =
          platform::ReadRegistryString(registry, keystone::kPhysicalSmartcardKey, kPkcs11ModuleValue);
      if (value && !value->empty()) path = *value;
    } catch (const platform::RegistryError& e) {
      KS_LOG(Log(), kLogWarning, "FLOW", "%s unreadable, using %s: %s", kPkcs11ModuleValue,
             path.c_str(), e.what());
    }
    return platform::LoadPkcs11Module(path);
  };
}

bool TokensAsReadersFromRegistry(platform::Registry& registry) {
  try {
    return platform::ReadRegistryDword(registry, keystone::kPhysicalSmartcardKey,
                                       kTokensAsReadersValue)
               .value_or(0) == 1;
  } catch (const platform::RegistryError& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "%s unreadable, using the readers: %s",
           kTokensAsReadersValue, e.what());
    return false;
  }
}

SmartcardCertificateHandler::SmartcardCertificateHandler(
    std::unique_ptr<platform::SmartCardReaders> readerService, Pkcs11Loader loader,
    std::unique_ptr<CrlSource> crlSource, platform::Clock& clock,
    SmartcardCertificateHandlerOptions handlerOptions)
    : readers(std::move(readerService)),
      loadModule(std::move(loader)),
      crls(std::move(crlSource)),
      store(crls.get(), clock),
      options(handlerOptions) {}

void SmartcardCertificateHandler::OpenStorageProvider() { Module(); }

std::shared_ptr<platform::Pkcs11Module> SmartcardCertificateHandler::Module() {
  {
    keystone::MutexLock lock(moduleMutex);
    if (module) return module;
  }
  std::shared_ptr<platform::Pkcs11Module> loaded;
  try {
    loaded = loadModule();
  } catch (const platform::Pkcs11Error& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Open smart card storage failed!!! (%s)", e.what());
    throw SmartCardNotAvailableException("Open smart card storage failed!!!");
  }
  keystone::MutexLock lock(moduleMutex);
  if (!module) module = std::move(loaded);
  return module;
}

std::vector<std::string> SmartcardCertificateHandler::ListReaderNames() {
  if (options.tokensAsReaders) {
    std::vector<std::string> names;
    try {
      for (const platform::Pkcs11Slot& slot : Module()->Slots()) names.push_back(slot.tokenLabel);
    } catch (const platform::Pkcs11Error& e) {
      KS_LOG(Log(), kLogError, "FLOW", "SCardListReaders return with error. (%s)", e.what());
      throw SmartCardReaderNotAvailableException("SCardListReaders return with error.");
    }
    if (names.empty()) {
      KS_LOG(Log(), kLogError, "FLOW", "SCardListReaders return with error. (no token)");
      throw SmartCardReaderNotAvailableException("SCardListReaders return with error.");
    }
    return names;
  }
  try {
    return readers->ListReaders();
  } catch (const platform::SmartCardServiceError& e) {
    KS_LOG(Log(), kLogError, "FLOW", "SCardEstablishContext Failed. %x", e.Code());
    throw SmartCardNotAvailableException("SCardEstablishContext Failed.");
  } catch (const platform::SmartCardListError& e) {
    KS_LOG(Log(), kLogError, "FLOW", "SCardListReaders return with error. %x", e.Code());
    throw SmartCardReaderNotAvailableException("SCardListReaders return with error.");
  }
}

std::vector<std::string> SmartcardCertificateHandler::FilterReaders(
    const std::string& baseReaderName) {
  KS_LOG(Log(), kLogInfo, "FLOW", "FilterReaders");
  KS_LOG(Log(), kLogInfo, "FLOW", "baseReaderName %s", baseReaderName.c_str());
  const std::string base = Lower(baseReaderName);
  std::vector<std::string> kept;
  for (std::string& name : ListReaderNames()) {
    if (base.empty() || Lower(name).find(base) != std::string::npos) kept.push_back(std::move(name));
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "number of readers found %d", static_cast<int>(kept.size()));
  return kept;
}

std::optional<platform::Pkcs11Slot> SmartcardCertificateHandler::SlotFor(
    platform::Pkcs11Module& pkcs11, const std::string& readerName) {
  const std::string description = TrimmedRight(readerName.substr(0, kSlotDescriptionSize));
  for (platform::Pkcs11Slot& slot : pkcs11.Slots()) {
    if (slot.description == description || slot.tokenLabel == readerName) return std::move(slot);
  }
  return std::nullopt;
}

std::vector<CardCertificate> SmartcardCertificateHandler::GetCertificatesList(
    const std::string& readerName) {
  KS_LOG(Log(), kLogInfo, "FLOW", "GetCertificatesList");
  std::shared_ptr<platform::Pkcs11Module> pkcs11 = Module();
  std::vector<CardCertificate> found;
  try {
    std::optional<platform::Pkcs11Slot> slot = SlotFor(*pkcs11, readerName);
    if (!slot) {
      KS_LOG(Log(), kLogInfo, "FLOW", "no card in reader %s", readerName.c_str());
      return found;
    }
    for (platform::Pkcs11Certificate& object : pkcs11->Certificates(slot->id)) {
      X509Ptr certificate = ParseCertificate(object.value);
      if (!certificate) {
        TakeOpenSslError();
        KS_LOG(Log(), kLogWarning, "FLOW", "certificate object %s does not parse",
               HexText(object.id).c_str());
        continue;
      }
      CardCertificate card;
      card.readerName = readerName;
      card.containerName = HexText(object.id);
      card.label = object.label;
      card.isCa = IsCa(certificate.get());
      card.certificate = std::move(certificate);
      found.push_back(std::move(card));
    }
  } catch (const platform::Pkcs11Error& e) {
    // The card went between the listing and the reading: as if it had not been there.
    KS_LOG(Log(), kLogWarning, "FLOW", "reading the card in %s failed: %s", readerName.c_str(),
           e.what());
    found.clear();
  }
  return found;
}

void SmartcardCertificateHandler::VerifyOIDs(X509* certificate,
                                             const std::set<std::string>& requiredOids) const {
  KS_LOG(Log(), kLogInfo, "FLOW", "VerifyOIDs");
  if (requiredOids.empty()) {
    KS_LOG(Log(), kLogInfo, "FLOW", "no oids in policy");
    return;
  }
  int critical = 0;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(
      X509_get_ext_d2i(certificate, NID_ext_key_usage, &critical, nullptr));
  if (eku == nullptr && critical != -1) {
    // Present but unreadable, or twice.
    const unsigned long error = TakeOpenSslError();
    KS_LOG(Log(), kLogError, "FLOW", "Failed to GetEnhancedKeyUsage with error: %lx", error);
    throw SmartCardCertificateVerificationException("Missing relevant OID in certificate.");
  }
  EXTENDED_KEY_USAGE_free(eku);
  const std::vector<std::string> present = ExtendedKeyUsages(certificate);
  std::string missing;
  for (const std::string& oid : requiredOids) {
    if (std::find(present.begin(), present.end(), oid) == present.end()) missing += " " + oid;
  }
  if (!missing.empty()) {
    KS_LOG(Log(), kLogError, "FLOW", "Missing OID's:%s", missing.c_str());
    throw SmartCardCertificateVerificationException("Missing relevant OID in certificate.");
  }
}

SmartcardCertificateHandler::ContainerKey SmartcardCertificateHandler::Locate(
    platform::Pkcs11Module& pkcs11, const ContainerLocation& container, const char* failureLog) {
  ContainerKey key;
  if (!FromHex(container.containerName, key.id)) {
    KS_LOG(Log(), kLogError, "FLOW", "%s %x", failureLog, 0u);
    throw InvalidInputException("Invalid Parameters.");
  }
  std::optional<platform::Pkcs11Slot> slot;
  try {
    slot = SlotFor(pkcs11, container.readerName);
  } catch (const platform::Pkcs11Error& e) {
    KS_LOG(Log(), kLogError, "FLOW", "%s %lx", failureLog, e.ReturnValue());
  }
  if (!slot) {
    KS_LOG(Log(), kLogError, "FLOW", "%s no card in reader %s", failureLog,
           container.readerName.c_str());
    throw SmartCardNotAvailableException("Smart card not present.");
  }
  key.slot = std::move(*slot);
  return key;
}

bool SmartcardCertificateHandler::IsPinNeeded(const ContainerLocation& container) {
  KS_LOG(Log(), kLogInfo, "FLOW", "IsPinNeeded");
  std::shared_ptr<platform::Pkcs11Module> pkcs11 = Module();
  const ContainerKey key = Locate(*pkcs11, container, "NCryptOpenKey failed.");
  // A PIN pad (protected authentication path) asks for the PIN itself: nothing for us to enter.
  return key.slot.loginRequired && !key.slot.protectedAuthenticationPath;
}

mfab::Bytes SmartcardCertificateHandler::SignNonce(const ContainerLocation& container,
                                                   const std::optional<std::string>& pin,
                                                   const mfab::Bytes& nonce) {
  KS_LOG(Log(), kLogInfo, "FLOW", "SignNonce");
  if (nonce.empty() || nonce.size() > kMaxNonceSize) {
    KS_LOG(Log(), kLogError, "FLOW", "NCryptSignHash failed. %x", static_cast<unsigned>(nonce.size()));
    throw SmartCardGeneralError("SignHash error");
  }
  std::shared_ptr<platform::Pkcs11Module> pkcs11 = Module();
  const ContainerKey key = Locate(*pkcs11, container, "NCryptOpenKey failed.");
  std::vector<uint8_t> digestInfo(std::begin(kSha256DigestInfoPrefix),
                                  std::end(kSha256DigestInfoPrefix));
  const std::vector<uint8_t> digest = Digest(nonce, HashAlgorithm::kSha256);
  digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());
  try {
    return pkcs11->SignDigestInfo(key.slot.id, key.id, pin, digestInfo);
  } catch (const platform::Pkcs11Error& e) {
    switch (e.Failure()) {
      case platform::Pkcs11Failure::kPinIncorrect:
      case platform::Pkcs11Failure::kPinLength:
        KS_LOG(Log(), kLogError, "FLOW", "NCryptSetProperty NCRYPT_PIN_PROPERTY failed. %lx (%s)",
               e.ReturnValue(), e.what());
        throw SmartPinError("wrong PIN");
      case platform::Pkcs11Failure::kPinLocked:
        KS_LOG(Log(), kLogError, "FLOW", "PIN locked: the card refuses every PIN. %lx",
               e.ReturnValue());
        throw SmartPinError("PIN locked");
      case platform::Pkcs11Failure::kNoToken:
        KS_LOG(Log(), kLogError, "FLOW", "NCryptSignHash failed. %lx (card removed)",
               e.ReturnValue());
        throw SmartCardNotAvailableException("Smart card not present.");
      default:
        KS_LOG(Log(), kLogError, "FLOW", "NCryptSignHash failed. %lx (%s)", e.ReturnValue(),
               e.what());
        throw SmartCardGeneralError("SignHash error");
    }
  }
}

mfab::Bytes SmartcardCertificateHandler::CreateP7bFromCertificateChain(
    const std::vector<CertificateRecord>& records) const {
  KS_LOG(Log(), kLogInfo, "FLOW", "CreateP7bFromCertificateChain");
  Pkcs7Ptr p7(PKCS7_new());
  if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1) {
    TakeOpenSslError();
    KS_LOG(Log(), kLogError, "FLOW", "Opening certificate store failed.");
    throw SmartCardGeneralError("Opening certificate store failed.");
  }
  for (const CertificateRecord& record : records) {
    X509Ptr certificate = ParseCertificate(record.encoded);
    if (!certificate || PKCS7_add_certificate(p7.get(), certificate.get()) != 1) {
      TakeOpenSslError();
      KS_LOG(Log(), kLogError, "FLOW", "Could not add the certificate to the memory store.");
      throw SmartCardGeneralError("Could not add the certificate to the memory store.");
    }
  }
  unsigned char* out = nullptr;
  const int length = i2d_PKCS7(p7.get(), &out);
  if (length <= 0) {
    TakeOpenSslError();
    KS_LOG(Log(), kLogError, "FLOW", "The store length could not be determined.");
    throw SmartCardGeneralError("The store length could not be determined.");
  }
  mfab::Bytes bundle(out, out + length);
  OPENSSL_free(out);
  return bundle;
}

EnrollmentData SmartcardCertificateHandler::GetEnrollmentData(const PolicyInputs& policy) {
  KS_LOG(Log(), kLogInfo, "FLOW", "GetEnrollmentData");
  KS_LOG(Log(), kLogInfo, "FLOW", "policy thumbprints number %d",
         static_cast<int>(policy.caThumbprints.size()));
  for (const std::string& thumbprint : policy.caThumbprints) {
    KS_LOG(Log(), kLogInfo, "FLOW", "policy thumbprint is %s", thumbprint.c_str());
  }
  bool anyCertificate = false;
  for (const std::string& reader : FilterReaders(policy.baseReaderName)) {
    KS_LOG(Log(), kLogInfo, "FLOW", "looking on reader %s", reader.c_str());
    std::vector<CardCertificate> onCard = GetCertificatesList(reader);
    KS_LOG(Log(), kLogInfo, "FLOW", "Found %d Certificates", static_cast<int>(onCard.size()));
    // Every certificate of the card may be an issuer in a chain; its self-signed ones are the
    // roots the chain must reach.
    CertStore cardStore;
    for (const CardCertificate& card : onCard) cardStore.certificates.push_back(Share(card.certificate.get()));
    std::optional<ChainEngine> engine;
    for (const CardCertificate& card : onCard) {
      if (card.isCa) continue;
      anyCertificate = true;
      KS_LOG(Log(), kLogInfo, "FLOW", "looking on certificate %s",
             DisplayName(card.certificate.get()).c_str());
      try {
        VerifyOIDs(card.certificate.get(), policy.requiredOids);
        if (!engine) engine = store.CreateCertificateChainEngine(cardStore);
        const CertificateChain chain =
            store.GenerateCertificateChain(*engine, card.certificate.get(), &cardStore, true);
        store.VerifyChain(chain);
        std::vector<CertificateRecord> records = store.GetCertificateListFromChain(chain);
        KS_LOG(Log(), kLogInfo, "FLOW", "chain size %d", static_cast<int>(records.size()));
        bool trusted = false;
        for (const CertificateRecord& record : records) {
          if (policy.caThumbprints.contains(record.thumbprint)) {
            trusted = true;
          } else {
            KS_LOG(Log(), kLogInfo, "FLOW", "no thumbprint found.  certificate thumbprint %s",
                   record.thumbprint.c_str());
          }
        }
        if (!trusted) throw std::runtime_error("not trusted root");
        EnrollmentData data;
        data.readerName = reader;
        data.containerName = card.containerName;
        data.leafCertificate = records.front().encoded;
        data.p7bBundle = CreateP7bFromCertificateChain(records);
        data.chain = std::move(records);
        data.pinNeeded = IsPinNeeded({reader, card.containerName});
        return data;
      } catch (const SmartCardNotAvailableException&) {
        throw;  // the card or the module went: no other certificate will do better
      } catch (const std::exception& e) {
        KS_LOG(Log(), kLogInfo, "FLOW", "exception %s", e.what());
      }
    }
  }
  if (!anyCertificate) {
    KS_LOG(Log(), kLogError, "FLOW", "Can't find any valid certificate");
    throw SmartCardCertificateUnavailable("Can't find any valid certificate");
  }
  KS_LOG(Log(), kLogError, "FLOW", "Can't verify root of trust");
  throw SmartCardNotAvailableException("Can't verify root of trust");
}

std::optional<ContainerLocation> SmartcardCertificateHandler::FindContainer(
    const std::string& baseReaderName, const mfab::Bytes& p7bBundle) {
  KS_LOG(Log(), kLogInfo, "FLOW", "FindContainer");
  const CertStore bundle = store.ParseP7bBlobToCertStore(p7bBundle);
  std::vector<std::vector<uint8_t>> leaves;
  for (const X509Ptr& certificate : bundle.certificates) {
    if (!IsCa(certificate.get())) leaves.push_back(EncodeCertificate(certificate.get()));
  }
  std::vector<std::string> readerNames;
  try {
    readerNames = FilterReaders(baseReaderName);
  } catch (const SmartCardReaderNotAvailableException&) {
    return std::nullopt;
  }
  for (const std::string& reader : readerNames) {
    for (const CardCertificate& card : GetCertificatesList(reader)) {
      const std::vector<uint8_t> der = EncodeCertificate(card.certificate.get());
      if (std::find(leaves.begin(), leaves.end(), der) != leaves.end()) {
        return ContainerLocation{reader, card.containerName};
      }
    }
  }
  return std::nullopt;
}

std::vector<CertificateRecord> SmartcardCertificateHandler::VerifiedCertificateChain(
    const mfab::Bytes& p7bBundle, const std::string& sha1Thumbprint, bool checkRevocation) {
  KS_LOG(Log(), kLogInfo, "FLOW", "VerifiedCertificateChain");
  return store.VerifiedCertificateChain(p7bBundle, sha1Thumbprint, checkRevocation);
}

std::string SmartcardCertificateHandler::GetCertificateThumbprint(const ContainerLocation& container) {
  KS_LOG(Log(), kLogInfo, "FLOW", "GetCertificateThumbprint");
  for (const CardCertificate& card : GetCertificatesList(container.readerName)) {
    if (card.containerName == container.containerName) {
      return CertificateStoreHandler::GenerateThumbprint(EncodeCertificate(card.certificate.get()),
                                                         HashAlgorithm::kSha1);
    }
  }
  KS_LOG(Log(), kLogError, "FLOW", "NCryptOpenKey failed. %x", 0u);
  throw SmartCardNotAvailableException("Smart card not present.");
}

std::vector<CardInfo> SmartcardCertificateHandler::ListCards(const std::string& baseReaderName) {
  std::vector<CardInfo> cards;
  std::shared_ptr<platform::Pkcs11Module> pkcs11 = Module();
  for (const std::string& reader : FilterReaders(baseReaderName)) {
    CardInfo info;
    info.readerName = reader;
    std::optional<platform::Pkcs11Slot> slot;
    try {
      slot = SlotFor(*pkcs11, reader);
    } catch (const platform::Pkcs11Error&) {
      // Listed as a reader without a card.
    }
    if (slot) {
      info.cardPresent = true;
      info.tokenLabel = slot->tokenLabel;
      info.pinNeeded = slot->loginRequired && !slot->protectedAuthenticationPath;
      info.pinLocked = slot->pinLocked;
      info.pinFinalTry = slot->pinFinalTry;
      for (const CardCertificate& card : GetCertificatesList(reader)) {
        CardCertificateInfo entry;
        const std::vector<uint8_t> der = EncodeCertificate(card.certificate.get());
        entry.containerName = card.containerName;
        entry.label = card.label;
        entry.subject = DisplayName(card.certificate.get());
        entry.sha256 = HexText(Digest(der, HashAlgorithm::kSha256));
        entry.sha1 = HexText(Digest(der, HashAlgorithm::kSha1));
        entry.usages = ExtendedKeyUsages(card.certificate.get());
        entry.expiry = ExpiryFileTime(card.certificate.get());
        entry.isCa = card.isCa;
        info.certificates.push_back(std::move(entry));
      }
    }
    cards.push_back(std::move(info));
  }
  return cards;
}

}  // namespace CertificateStore
