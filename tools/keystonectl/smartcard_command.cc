// keystonectl smartcard list: what the engine's smart-card handling sees: readers, the card in
// each, its PIN state, and every certificate with its thumbprints and usages.

#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/smart_card_readers.h"
#include "smartcard/smartcard_certificate_handler.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

const char* UsageName(const std::string& oid) {
  if (oid == "1.3.6.1.5.5.7.3.2") return " (client authentication)";
  if (oid == "1.3.6.1.4.1.311.20.2.2") return " (smart-card logon)";
  if (oid == "1.3.6.1.5.5.7.3.4") return " (e-mail protection)";
  if (oid == "1.3.6.1.5.5.7.3.1") return " (server authentication)";
  return "";
}

std::string DateOf(uint64_t fileTime) {
  constexpr int64_t kEpochOffset = 11644473600;
  const time_t seconds = static_cast<time_t>(static_cast<int64_t>(fileTime / 10'000'000) - kEpochOffset);
  struct tm parts {};
  char text[32] = "unknown";
  if (fileTime != 0 && gmtime_r(&seconds, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

void Print(const CertificateStore::CardInfo& card) {
  std::printf("reader: %s\n", card.readerName.c_str());
  if (!card.cardPresent) {
    std::printf("  card: none\n");
    return;
  }
  std::printf("  card: %s\n", card.tokenLabel.c_str());
  std::printf("  pin: %s%s%s\n", card.pinNeeded ? "needed" : "not needed",
              card.pinLocked ? ", locked" : "", card.pinFinalTry ? ", final try" : "");
  for (const CertificateStore::CardCertificateInfo& c : card.certificates) {
    std::printf("  %s %s \"%s\"\n", c.isCa ? "ca-certificate" : "container", c.containerName.c_str(),
                c.label.c_str());
    std::printf("    subject: %s\n", c.subject.c_str());
    std::printf("    sha256: %s\n", c.sha256.c_str());
    std::printf("    sha1: %s\n", c.sha1.c_str());
    std::printf("    expires: %s\n", DateOf(c.expiry).c_str());
    std::printf("    usages:%s\n", c.usages.empty() ? " none" : "");
    for (const std::string& oid : c.usages) std::printf("      %s%s\n", oid.c_str(), UsageName(oid));
  }
}

int List(const std::vector<std::string>& args) {
  std::string baseReader;
  std::string modulePath;
  bool tokens = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--reader" && i + 1 < args.size()) {
      baseReader = args[++i];
    } else if (args[i] == "--module" && i + 1 < args.size()) {
      modulePath = args[++i];
    } else if (args[i] == "--tokens") {
      tokens = true;
    } else {
      return Fail(kExitUsage, "unknown option '" + args[i] + "'");
    }
  }
  // The handling's progress lines are for the engine's log; here only its errors (which carry
  // the reader service's and the module's codes) go to stderr beside the listing.
  mfab::SetLogThreshold(mfab::LogSink::kService, 2);
  std::unique_ptr<platform::Registry> registry;
  CertificateStore::Pkcs11Loader loader;
  if (modulePath.empty()) {
    registry = platform::OpenSystemRegistry();
    loader = CertificateStore::Pkcs11LoaderFromRegistry(*registry);
  } else {
    loader = [modulePath] { return platform::LoadPkcs11Module(modulePath); };
  }
  CertificateStore::SmartcardCertificateHandler handler(
      tokens ? nullptr : platform::CreateSmartCardReaders(), loader, nullptr,
      platform::SystemClock(), {.tokensAsReaders = tokens});
  try {
    for (const CertificateStore::CardInfo& card : handler.ListCards(baseReader)) Print(card);
  } catch (const mfab::MfaException& e) {
    char status[16];
    std::snprintf(status, sizeof status, "%08X", static_cast<uint32_t>(e.ErrorCode()));
    return Fail(kExitFailure, std::string(e.what()) + " (status 0x" + status + ")");
  }
  return kExitOk;
}

int RunSmartcard(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "list") return List({args.begin() + 1, args.end()});
  return Fail(kExitUsage, "usage: keystonectl smartcard list [--reader NAME] [--module PATH] [--tokens]");
}

const RegisterCommand kSmartcardCommand({
    "smartcard",
    "the readers, cards, certificates and PIN state the engine sees",
    "usage: keystonectl smartcard list [--reader NAME] [--module PATH] [--tokens]\n"
    "\n"
    "Lists the PC/SC readers (those whose name holds NAME, compared in lower case), the card in\n"
    "each with its PIN state, and every certificate on it: its container (CKA_ID in hex), subject,\n"
    "SHA-256 and SHA-1 thumbprints, expiry and extended key usages. The PKCS#11 module is PATH, or\n"
    "the one the registry names (REG_SZ Pkcs11Module under\n"
    "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\Factors\\PhysicalSmartcard), OpenSC's by default.\n"
    "--tokens lists the module's tokens by label instead of the PC/SC readers (software tokens).\n"
    "Exit status 0 when listed; 1 with the engine's error text and status when not.",
    RunSmartcard,
});

}  // namespace
}  // namespace keystonectl
