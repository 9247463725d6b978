#pragma once

// The simulated authentication applet: the logic of one session. The applet keeps nothing
// between sessions; everything it must keep goes to the engine as sealed blobs through save,
// delete and clear requests, and comes back in the stored-data blocks the engine attaches. A
// change takes effect (in the firmware's version table and in this session's data) only when the
// engine confirms that it stored or deleted the files.
//
// Requests (command 0), the idle clear (command 1) and the upgrade exchange (command 2) are
// described message by message in docs/applet-protocol.md.
//
// Not thread-safe: the library runs the exchanges of one session one at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/applet/field_reader.h"
#include "sim/applet/firmware.h"
#include "sim/applet/piggy_back.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "sim/applet/reply.h"
#include "sim/applet/smart_card_certificates.h"
#include "tlv/message.h"

namespace kilnsim {

// Most files the version table may name; keeps every save request within one message.
inline constexpr size_t kMaxStoredFiles = 160;

// A stored file as this session knows it: delivered by the engine or saved by the applet.
struct StoredFile {
  uint64_t version = 0;
  uint32_t svn = 0;
  std::vector<uint8_t> record;
};

class Applet {
 public:
  explicit Applet(std::shared_ptr<Firmware> firmware);
  Applet(const Applet&) = delete;
  Applet& operator=(const Applet&) = delete;

  // Reads the session-init buffer: 0x0000 the OS generation (1 to 16), then optionally the
  // stored-data block. Returns false with the reason when the buffer is malformed. Stored data
  // that is refused does not fail the opening; the first request is answered with the refusal.
  bool Open(std::span<const uint8_t> initData, std::string& problem);

  // The serialized reply to one request. Never throws: every failure is an ErrorMessage reply.
  std::vector<uint8_t> Exchange(uint32_t commandId, std::span<const uint8_t> request);

  uint32_t OsGeneration() const { return osGeneration; }

 private:
  // A change waiting for the engine's confirmation.
  struct Pending {
    uint32_t awaitedType = 0;
    std::string description;  // what the engine was asked to do, for log lines and errors
    VersionChange change;
    bool clearFiles = false;
    std::vector<std::string> removePrefixes;
    std::map<std::string, StoredFile> updates;
    ReplyDraft finalReply;
  };
  enum class UpgradeStage { kIdle, kAwaitMigratedSaved, kAwaitMasterSaved };
  struct Upgrade {
    UpgradeStage stage = UpgradeStage::kIdle;
    uint32_t targetSvn = 0;
    uint64_t generation = 0;
    std::map<std::string, uint64_t> migrated;
  };
  // A host-factor check waiting for the engine's answer.
  struct FactorCheck {
    std::string factorId;
    std::string user;
    // For the smart card: whether this applet verified the card's signed challenge itself.
    bool smartCardVerified = false;
  };
  // A phone-presence check waiting for the engine's answer.
  struct PhoneCheck {
    std::vector<uint8_t> deviceId;
  };
  // The smart card's conversation (smart_card.cc); everything here is bound to the request's
  // sessionId and user, and lasts until used or the session ends.
  struct SmartCardState {
    struct Enrolling {
      std::string user;
      uint32_t sessionId = 0;
      CardCertificate card;
      std::string readerName;
      bool pinNeeded = true;
    };
    struct Challenge {
      std::string user;
      uint32_t sessionId = 0;
      std::vector<uint8_t> nonce;
    };
    std::optional<Enrolling> enrolling;  // a chain accepted, its key not proven yet
    std::optional<Enrolling> proven;     // its key proven, waiting for the enrollment's store
    std::optional<Challenge> challenge;  // the nonce given out last
    std::optional<mfab::Message> waitingForUserData;  // a challenge request parked meanwhile
  };
  using NamedRecords = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

  // The request's payload read as T; throws AppletError(kMalformedRequest) naming what.
  template <class T>
  static T ParsePayload(const mfab::Message& message, const char* what) {
    T payload;
    try {
      payload.Deserialize(message.payload);
    } catch (const std::exception& error) {
      throw AppletError(sim_error::kMalformedRequest, std::string(what) + ": " + error.what());
    }
    return payload;
  }

  ReplyDraft HandleRequest(const mfab::Message& request, std::span<const uint8_t> raw, FwLog& log);
  ReplyDraft HandleIdleClear(FwLog& log);
  ReplyDraft HandleUpgrade(const mfab::Message& request, FwLog& log);

  void AcceptStoredData(const PiggyBackBlock& block, FwLog& log);
  ReplyDraft Confirm(const mfab::Message& answer, FwLog& log);
  // Seals the records and the new master-versions record into a SaveRequest and remembers the
  // change until the engine's SaveResponse.
  ReplyDraft BeginSave(const NamedRecords& records, Pending pendingChange, FwLog& log);

  ReplyDraft SetPolicy(const mfab::Message& request, FwLog& log);
  ReplyDraft GetPolicyData(FwLog& log);
  ReplyDraft GetUserData(const mfab::Message& request, FwLog& log);
  ReplyDraft SaveEnrollmentData(const mfab::Message& request, FwLog& log);
  ReplyDraft ClearAllData(FwLog& log);
  ReplyDraft RemoveUser(const mfab::Message& request, FwLog& log);
  ReplyDraft ClearActionTimeoutCache(const mfab::Message& request, FwLog& log);
  // Asks the host to authenticate the user with the factor; FactorAnswered gives the outcome.
  ReplyDraft CheckHostFactor(const mfab::Message& request, FwLog& log);
  ReplyDraft FactorAnswered(const mfab::Message& answer, FwLog& log);
  // Asks the host whether the phone is within reach; PhoneAnswered gives the outcome.
  ReplyDraft CheckPhone(const mfab::Message& request, FwLog& log);
  ReplyDraft PhoneAnswered(const mfab::Message& answer, FwLog& log);

  ReplyDraft SmartCardDataForEnrollment(const mfab::Message& request, FwLog& log);
  // askedForData: the user's data was already asked for once.
  ReplyDraft SmartCardChallenge(const mfab::Message& request, FwLog& log, bool askedForData);
  ReplyDraft ValidateSmartCardChallenge(const mfab::Message& request, FwLog& log);
  // The enrollment record of the card proven for user in this session; throws
  // AppletError(kEnrollmentError) when there is none. The card is taken.
  EnrollmentRecord ProvenSmartCard(const std::string& user, uint32_t sessionId);
  // The card enrolled for user: its key, SHA-1, reader and PIN need; null when none is held.
  std::optional<SmartCardState::Enrolling> EnrolledSmartCard(const std::string& user) const;

  ReplyDraft MigrateFiles(const mfab::Message& request, FwLog& log);
  ReplyDraft SaveMigratedMaster(const mfab::Message& request, FwLog& log);
  ReplyDraft FinishUpgrade(const mfab::Message& request, FwLog& log);

  const std::shared_ptr<Firmware> firmware;
  uint32_t osGeneration = 0;
  std::map<std::string, StoredFile> files;
  std::optional<Pending> pending;
  std::optional<FactorCheck> factorCheck;
  std::optional<PhoneCheck> phoneCheck;
  SmartCardState smartCard;
  Upgrade upgrade;
  std::optional<AppletError> refusedAtOpen;
  FwLog openLog;
};

}  // namespace kilnsim
