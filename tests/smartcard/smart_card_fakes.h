#pragma once

// Fakes of what the smart-card factor stands on: the certificate handling (one card in one
// reader, signing with a test card's real key, bundles parsed with OpenSSL), the client's
// callbacks (scripted PINs and signatures, or a client that never answers) and the OS version.
// Thread-safe.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/os_version.h"
#include "smartcard/certificates.h"
#include "smartcard/client_callbacks.h"
#include "smartcard/exceptions.h"
#include "tests/fakes/locked.h"
#include "tests/smartcard/smart_card_test_pki.h"

namespace keystone::testing {

inline constexpr char kTestReader[] = "Test Reader 0";
inline constexpr char kTestContainer[] = "Alice Key";

class FakeCertificates : public CertificateStore::ISmartCardCertificates {
 public:
  explicit FakeCertificates(TestCard insertedCard) : card(std::move(insertedCard)) {}

  void OpenStorageProvider() override {
    if (!present) {
      throw CertificateStore::SmartCardNotAvailableException("Open smart card storage failed!!!");
    }
  }
  CertificateStore::EnrollmentData GetEnrollmentData(
      const CertificateStore::PolicyInputs& policy) override {
    if (!present) {
      throw CertificateStore::SmartCardReaderNotAvailableException(
          "SCardListReaders return with error.");
    }
    if (policy.caThumbprints.count(CardPki::Get().caSha256) == 0) {
      throw CertificateStore::SmartCardNotAvailableException("Can't verify root of trust");
    }
    CertificateStore::EnrollmentData data;
    data.readerName = kTestReader;
    data.containerName = kTestContainer;
    data.leafCertificate = card.certificate;
    data.p7bBundle = card.bundle;
    data.pinNeeded = pinNeeded;
    return data;
  }
  bool IsPinNeeded(const CertificateStore::ContainerLocation&) override { return pinNeeded; }
  mfab::Bytes SignNonce(const CertificateStore::ContainerLocation& container,
                        const std::optional<std::string>& pin, const mfab::Bytes& nonce) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++signatures;
    signedWithPin.push_back(pin.value_or("<none>"));
    if (!present || container.containerName != kTestContainer) {
      throw CertificateStore::SmartCardNotAvailableException("card removed");
    }
    if (pinNeeded && pin != correctPin) throw CertificateStore::SmartPinError();
    return card.Sign(nonce);
  }
  std::optional<CertificateStore::ContainerLocation> FindContainer(
      const std::string&, const mfab::Bytes& p7bBundle) override {
    if (!present || p7bBundle != card.bundle) return std::nullopt;
    return CertificateStore::ContainerLocation{kTestReader, kTestContainer};
  }
  std::vector<CertificateStore::CertificateRecord> VerifiedCertificateChain(
      const mfab::Bytes& p7bBundle, const std::string& sha1Thumbprint,
      bool checkRevocation) override {
    LockedAppend(mutex, verifications, checkRevocation);
    // The card's own bundle stands for every well-formed one.
    if (p7bBundle != card.bundle) {
      throw CertificateStore::InvalidInputException(
          "Invalid Format: Not expected cryptography type.");
    }
    if (sha1Thumbprint != card.sha1) {
      throw CertificateStore::InvalidInputException("Unable to find certificate from thumbprint.");
    }
    if (checkRevocation && revoked) {
      throw CertificateStore::SmartCardCertificateVerificationException(
          "Untrusted Chain. Error: 4");
    }
    return {CertificateStore::CertificateRecord{card.certificate, "", 0}};
  }
  std::string GetCertificateThumbprint(const CertificateStore::ContainerLocation&) override {
    return card.sha1;
  }

  int Signatures() { return LockedCopy(mutex, signatures); }
  std::vector<std::string> SignedWithPin() { return LockedCopy(mutex, signedWithPin); }
  std::vector<bool> Verifications() { return LockedCopy(mutex, verifications); }

  const TestCard card;
  std::atomic<bool> present{true};
  std::atomic<bool> pinNeeded{false};
  std::atomic<bool> revoked{false};
  const std::string correctPin = "1234";

 private:
  std::mutex mutex;
  int signatures = 0;
  std::vector<std::string> signedWithPin;
  std::vector<bool> verifications;
};

// The client: hands out the scripted PINs in order (the last one again when they run out) and
// signs with signer's key; or answers a status; or never answers until stopped (at most 20 s).
class FakeClientCallbacks : public SmartCardFactor::IClientCallbacks {
 public:
  enum class Mode { kAnswer, kRefuse, kNeverAnswer };

  explicit FakeClientCallbacks(TestCard signingCard) : signer(std::move(signingCard)) {}

  uint32_t GetPin(const SmartCardFactor::CallbackTarget& target, int32_t attempt, std::string& pin,
                  std::stop_token stop) override {
    std::unique_lock<std::mutex> lock(mutex);
    targets.push_back(target);
    attempts.push_back(attempt);
    if (const std::optional<uint32_t> status = Wait(lock, stop)) return *status;
    pin = pins.empty() ? std::string() : pins.front();
    if (pins.size() > 1) pins.pop_front();
    return 0;
  }
  uint32_t SignHash(const SmartCardFactor::CallbackTarget& target, const mfab::Bytes& data,
                    const std::string& certificateSha1, mfab::Bytes& signature,
                    std::stop_token stop) override {
    std::unique_lock<std::mutex> lock(mutex);
    targets.push_back(target);
    signedFor.push_back(certificateSha1);
    if (const std::optional<uint32_t> status = Wait(lock, stop)) return *status;
    signature = signer.Sign(data);
    return 0;
  }

  // Runs at each prompt before the client answers (set before the flow runs).
  std::function<void()> onPrompt;

  void SetMode(Mode newMode) { LockedSet(mutex, mode, newMode); }
  void SetSigner(TestCard card) { LockedSet(mutex, signer, std::move(card)); }
  void SetPins(std::deque<std::string> newPins) { LockedSet(mutex, pins, std::move(newPins)); }
  std::vector<SmartCardFactor::CallbackTarget> Targets() { return LockedCopy(mutex, targets); }
  std::vector<int32_t> Attempts() { return LockedCopy(mutex, attempts); }
  std::vector<std::string> SignedFor() { return LockedCopy(mutex, signedFor); }

 private:
  // The status to answer instead of the PIN or signature, if any.
  std::optional<uint32_t> Wait(std::unique_lock<std::mutex>& lock, std::stop_token stop) {
    if (onPrompt) {
      lock.unlock();
      onPrompt();
      lock.lock();
    }
    if (mode == Mode::kRefuse) return 1223;  // the user cancelled
    if (mode == Mode::kAnswer) return std::nullopt;
    // Only the caller's stop ends the wait as the real callbacks do; the cap says it did not.
    const bool stopped = !changed.wait_for(lock, stop, std::chrono::seconds(20), [] {
      return false;
    }) && stop.stop_requested();
    return stopped ? 1708 : 1460;
  }

  TestCard signer;
  std::mutex mutex;
  std::condition_variable_any changed;
  Mode mode = Mode::kAnswer;
  std::deque<std::string> pins{"1234"};
  std::vector<SmartCardFactor::CallbackTarget> targets;
  std::vector<int32_t> attempts;
  std::vector<std::string> signedFor;
};

class FakeOsVersion : public platform::OsVersion {
 public:
  bool AtLeastWindows8() override { return atLeastWindows8; }
  std::string CurrentBuildNumber() override { return "22631"; }
  std::atomic<bool> atLeastWindows8{true};
};

}  // namespace keystone::testing
