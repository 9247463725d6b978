#pragma once

// A PKCS#11 module (the card middleware) loaded from a file: its slots and tokens, the
// certificates a token shows before log-in, and RSA signatures with a private key found by its
// CKA_ID. Only what the smart-card handling asks of the module is here.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// What went wrong, as far as callers react differently.
enum class Pkcs11Failure {
  kLoad,         // the file could not be loaded or is no PKCS#11 module
  kInitialize,   // C_Initialize refused
  kPinIncorrect,
  kPinLength,    // the token's length limits, or ours (checked before C_Login)
  kPinLocked,
  kNoToken,      // the card is absent or was pulled
  kNoKey,        // no private key with the asked CKA_ID
  kOther,
};

class Pkcs11Error : public std::runtime_error {
 public:
  Pkcs11Error(Pkcs11Failure kindOf, unsigned long returnValue, const std::string& what)
      : std::runtime_error(what), failure(kindOf), rv(returnValue) {}
  Pkcs11Failure Failure() const { return failure; }
  // The module's CK_RV, 0 when the failure is not the module's answer.
  unsigned long ReturnValue() const { return rv; }

 private:
  Pkcs11Failure failure;
  unsigned long rv;
};

// A slot with a token present.
struct Pkcs11Slot {
  unsigned long id = 0;
  std::string description;  // blank padding removed
  std::string tokenLabel;   // blank padding removed
  bool loginRequired = false;
  bool protectedAuthenticationPath = false;  // the PIN is entered on a pad, not by us
  unsigned long maxPinLength = 0;
  unsigned long minPinLength = 0;
  bool pinLocked = false;
  bool pinFinalTry = false;
};

// A certificate object as the token shows it without log-in.
struct Pkcs11Certificate {
  std::vector<uint8_t> id;  // CKA_ID, pairs it with its private key
  std::string label;
  std::vector<uint8_t> value;  // DER
};

// Thread-safe (the module is initialised for operating-system locking); each call opens and
// closes its own session. Blocks for the token's answers.
class Pkcs11Module {
 public:
  // Certificate objects larger than this, and more than kMaxObjects of them, are not read.
  static constexpr size_t kMaxCertificateSize = 64 * 1024;
  static constexpr size_t kMaxObjects = 64;
  // A PIN longer than this is refused whatever the token says it accepts.
  static constexpr size_t kMaxPinLength = 256;

  virtual ~Pkcs11Module() = default;

  virtual const std::string& Path() const = 0;
  // The slots holding an initialised token, in the module's order. Throws Pkcs11Error.
  virtual std::vector<Pkcs11Slot> Slots() = 0;
  // The token's X.509 certificate objects, read in a session without log-in. Throws Pkcs11Error.
  virtual std::vector<Pkcs11Certificate> Certificates(unsigned long slot) = 0;
  // Signs digestInfo (a DER DigestInfo) with CKM_RSA_PKCS and the private key whose CKA_ID is
  // keyId, after logging in with pin when given; a PIN longer than the token's maximum or
  // kMaxPinLength fails with kPinLength before C_Login. Throws Pkcs11Error.
  virtual std::vector<uint8_t> SignDigestInfo(unsigned long slot, std::span<const uint8_t> keyId,
                                              const std::optional<std::string>& pin,
                                              std::span<const uint8_t> digestInfo) = 0;
};

// Loads and initialises the module at path, or shares the instance this process already has of
// it (initialisation is process-wide); the last owner to go finalises it. Throws Pkcs11Error
// (kLoad or kInitialize).
std::unique_ptr<Pkcs11Module> LoadPkcs11Module(const std::string& path);

// OpenSC's module in this machine's library directory (multiarch path found at build time).
std::string DefaultPkcs11ModulePath();

}  // namespace platform
