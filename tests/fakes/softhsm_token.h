#pragma once

// A SoftHSM2 software token for one test: its own configuration file and token directory
// (SOFTHSM2_CONF points there while the fixture lives), a token with a label, a user PIN, and
// RSA keys with their certificates imported through PKCS#11 under a CKA_ID.
//
// SoftHSM reads SOFTHSM2_CONF when the module is initialised, so make the tokens before the code
// under test opens the module. SoftHSM never locks a PIN, and its slot description is not a
// reader name: match such a token by its label. Creating a token takes about 0.2 s.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_pki.h"

namespace keystone::testing {

struct SoftHsmTokenOptions {
  std::string label = "Keystone Test Token";
  std::string userPin = "123456";
  std::string soPin = "12345678";
};

class SoftHsmToken {
 public:
  // The installed SoftHSM2 module, or empty when there is none (tests then skip).
  static std::string ModulePath();

  // Writes the configuration, points SOFTHSM2_CONF at it and initialises the token.
  // Throws std::runtime_error when SoftHSM2 is missing or refuses.
  explicit SoftHsmToken(SoftHsmTokenOptions options = {});
  // Restores the SOFTHSM2_CONF the test started with and removes the tokens.
  ~SoftHsmToken();
  SoftHsmToken(const SoftHsmToken&) = delete;
  SoftHsmToken& operator=(const SoftHsmToken&) = delete;

  // Another token in the same configuration (the module then shows two slots).
  void AddToken(const std::string& label, const std::string& userPin);

  // Imports the certificate (CKA_PRIVATE false, so visible before log-in) and its RSA private
  // key (CKA_PRIVATE, CKA_SIGN) and public key, all under CKA_ID id and CKA_LABEL label, into the
  // token with tokenLabel (empty: the first token).
  void Import(const TestCertificate& certificate, const std::vector<uint8_t>& id,
              const std::string& label, const std::string& tokenLabel = "");
  // Imports only the certificate, as a card holding a certificate without its key.
  void ImportCertificateOnly(const TestCertificate& certificate, const std::vector<uint8_t>& id,
                             const std::string& label, const std::string& tokenLabel = "");

  const std::string& ConfPath() const { return confPath; }
  const std::string& Label() const { return options.label; }
  const std::string& UserPin() const { return options.userPin; }

 private:
  void ImportObjects(const TestCertificate& certificate, const std::vector<uint8_t>& id,
                     const std::string& label, const std::string& tokenLabel, bool withKey);

  SoftHsmTokenOptions options;
  TempDirectory dir;
  std::string confPath;
  std::string modulePath;
  bool hadConf = false;
  std::string previousConf;
  std::vector<std::pair<std::string, std::string>> pins;  // token label, user PIN
};

}  // namespace keystone::testing
