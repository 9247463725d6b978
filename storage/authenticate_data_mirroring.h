#pragma once

#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "storage/data_mirroring.h"
#include "storage/mirror_records.h"
#include "storage/policy_mirror.h"

namespace platform {
class Registry;
class RegistryTransaction;
}  // namespace platform

namespace mfab {

class DataController;
class IMirroringHost;

// One user's enrolled factors (entries whose IsEnrolled is "true") by factor identifier.
using EnrolledFactors = ::AuthenticateDataMirroring::UserData::FactorEntries;

// What discovery reads of the mirror in one hold of the policy-mirror lock.
struct MirrorView {
  ::AuthenticateDataMirroring::PolicyFactors factors;
  ::AuthenticateDataMirroring::PolicyActions actions;  // read only when asked for
  EnrolledFactors enrolled;                            // read only for a user
};

// The registry mirror of the applet's policy and users' data (layout in storage/mirror_records.h)
// and the triggers that rewrite it. The one instance the service owns; it also answers the data
// loader's questions about the mirrored policy's identifiers.
//
// Its mutex is the policy-mirror lock: every read and rewrite of the mirror holds it, and only
// for the registry work. The applet is asked before the lock is taken (the applet queue's thread
// takes the lock itself to attach stored data), so two triggers may fetch at once; their
// rewrites still follow one another whole. Each rewrite is one registry transaction: readers in
// this and other processes see the mirror before or after it, and a failure changes nothing.
//
// Thread-safe. Throws what IDataMirroring says; the reads throw ReadMirrorDataException.
class AuthenticateDataMirroring final : public IDataMirroring, public IPolicyMirrorReader {
 public:
  // Collaborators are borrowed and must outlive the object.
  AuthenticateDataMirroring(platform::Registry& registry, const DataController& dataController,
                            IMirroringHost& host);
  AuthenticateDataMirroring(const AuthenticateDataMirroring&) = delete;
  AuthenticateDataMirroring& operator=(const AuthenticateDataMirroring&) = delete;

  void MirrorDataIfEmpty() override;
  void PolicyUpdated() override;
  void DataCleared() override;
  // Throws InvalidParamException for a user that is not a SID, before anything is asked.
  void UserUpdated(const std::string& user) override;
  void UpdateAll() override;
  // Throws PolicyNotSetException "Policy Not Set" when no factor is mirrored, and
  // InvalidInputException for bytes that are not an ExternalFactorsSupport record.
  void MirrorFactorStatus(std::span<const uint8_t> support) override;

  // Rewrites each mirrored factor's IsSupported from the support data received last; without
  // any (none arrived since the start), the policy's own values stay.
  void UpdateSupportedFactors();
  // The user's enrolled factors; empty (after logging "GetUsersPrefixes failed") when the mirror
  // holds no such user.
  EnrolledFactors GetEnrolledFactors(const std::string& user);
  // The policy's factors, its actions when withActions, and user's enrolled factors when user is
  // not empty, all from one state of the mirror.
  MirrorView ReadView(const std::string& user, bool withActions);

  std::vector<std::string> FactorIds() override;
  std::vector<std::string> ActionIds() override;

 private:
  struct PolicyRecords {
    ::AuthenticateDataMirroring::PolicyFactors factors;
    ::AuthenticateDataMirroring::PolicyActions actions;
    ::AuthenticateDataMirroring::SystemParams params;
  };

  // Asks the applet for its policy and decodes it; nothing is locked or written.
  PolicyRecords FetchPolicy();
  void ClearPolicyMirrorDataLocked(platform::RegistryTransaction& transaction) REQUIRES(mutex);
  void MirrorPolicyLocked(const PolicyRecords& policy, platform::RegistryTransaction& transaction)
      REQUIRES(mutex);
  EnrolledFactors EnrolledFactorsLocked(const std::string& user) REQUIRES(mutex);
  std::vector<std::string> SubkeyNamesLocked(const std::string& path) REQUIRES(mutex);
  // Runs body in a new transaction and commits it; a store failure is WriteMirrorDataException.
  template <typename Body>
  void RewriteLocked(Body body) REQUIRES(mutex);

  platform::Registry& registry;
  const DataController& dataController;
  IMirroringHost& host;

  keystone::Mutex mutex;  // The policy-mirror lock; guards the mirror and the member below.
  // The factors supported outside the applet, as last received; nullopt before the first.
  std::optional<std::set<std::string>> externalSupport GUARDED_BY(mutex);
};

}  // namespace mfab
