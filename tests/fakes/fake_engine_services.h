#pragma once

// Recording stand-ins for the collaborators of the applet manager, the command handler and the
// resource manager. Thread-safe.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "engine/applet_manager.h"
#include "engine/attestation_client.h"
#include "engine/command_handler.h"
#include "platform/accounts.h"
#include "tests/fakes/locked.h"

namespace keystone::testing {

class FakeAuthenticationState : public mfab::IAuthenticationState {
 public:
  void UpdateAuthenticationState(const mfab::Bytes& reply) override {
    LockedAppend(mutex, replies, reply);
  }
  mfab::Bytes GetStatus() override { return {}; }
  void StatusUpdateCompleted() override {}
  void UpdateAuthenticationErrorState(int32_t, uint32_t) override {}
  void UpdateCurrentAuthenticationErrorState(uint32_t errorCode) override {
    LockedAppend(mutex, errors, errorCode);
  }
  void AbandonAuthentication(uint32_t errorCode) override {
    UpdateCurrentAuthenticationErrorState(errorCode);
    inProgress = false;
  }
  bool AuthenticationInProgress() override { return inProgress.load(); }
  uint32_t CurrentAuthenticationActionId() override { return actionId.load(); }
  void SetMonitoring(bool wanted) override { LockedSet(mutex, monitoring, wanted); }
  bool StatusChanged() override { return false; }
  bool MarkedForDeletion() override { return false; }
  void HandlePowerSleepEvent() override { ++sleeps; }

  std::vector<uint32_t> Errors() const { return LockedCopy(mutex, errors); }
  std::vector<mfab::Bytes> Replies() const { return LockedCopy(mutex, replies); }
  std::optional<bool> Monitoring() const { return LockedCopy(mutex, monitoring); }

  std::atomic<bool> inProgress{false};
  std::atomic<uint32_t> actionId{0};
  std::atomic<int> sleeps{0};

 private:
  mutable std::mutex mutex;
  std::vector<uint32_t> errors;
  std::vector<mfab::Bytes> replies;
  std::optional<bool> monitoring;
};

// The resource manager's arbitration as the applet manager sees it. CurrentUserSid can be made to
// block until the test opens it, to hold a key-storage clear in flight.
class FakeAppletOwnership : public mfab::IAppletOwnership {
 public:
  bool IsCurrentFlowAllowed() override { return flowAllowed.load(); }
  uint32_t OwnerSessionId() override { return 0xFFFFFFFF; }  // nobody
  void ReleaseSessionId(uint32_t sessionId) override { LockedAppend(mutex, releases, sessionId); }
  std::string CurrentUserSid() override {
    std::unique_lock<std::mutex> lock(mutex);
    events.push_back("sid-start");
    if (holdSid) {
      changed.notify_all();
      changed.wait_for(lock, std::chrono::seconds(20), [this] { return !holdSid; });
    }
    events.push_back("sid-end");
    changed.notify_all();
    return sid;
  }

  void HoldSidLookups(bool hold) {
    LockedSet(mutex, holdSid, hold);
    changed.notify_all();
  }
  bool WaitForEvents(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return events.size() >= count; });
  }
  std::vector<std::string> Events() const { return LockedCopy(mutex, events); }
  std::vector<uint32_t> Releases() const { return LockedCopy(mutex, releases); }

  std::atomic<bool> flowAllowed{true};
  std::string sid = "S-1-5-21-1-2-3-1000";

 private:
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool holdSid = false;
  std::vector<uint32_t> releases;
  std::vector<std::string> events;
};

class FakeCommandHost : public mfab::ICommandHandlerHost {
 public:
  bool IsCurrentFlowAllowed() override { return flowAllowed; }
  void SetFlowType(uint32_t sessionId, int32_t flowType,
                   const keystone::ClientIdentity& client) override {
    if (refuseClaims)
      throw mfab::AppletCurrentlyBusyException("Applet is currently busy with other flow");
    claims.emplace_back(sessionId, flowType);
    claimUids.push_back(client.uid);
  }
  bool YieldToPriorityClient(const keystone::ClientIdentity& client) override {
    yieldRequests.push_back(client.uid);
    if (yields && onYield) onYield();
    return yields;
  }
  bool ApiBusy() override { return apiBusy; }
  bool TakeResumeMark() override {
    const bool was = resumeMark;
    resumeMark = false;
    return was;
  }

  bool flowAllowed = true;
  bool refuseClaims = false;
  bool apiBusy = false;
  bool resumeMark = false;
  bool yields = false;
  std::function<void()> onYield;
  std::vector<std::pair<uint32_t, int32_t>> claims;
  std::vector<uint32_t> claimUids;
  std::vector<uint32_t> yieldRequests;
};

class FakeAccounts : public platform::Accounts {
 public:
  std::string ConsoleUserSid() override {
    std::lock_guard<std::mutex> lock(mutex);
    if (sidFails) throw std::runtime_error("logind is not reachable");
    return consoleSid;
  }
  // "S-1-5-21-1-2-3-<uid>"; throws for the uid in sidFailsFor.
  std::string UserSid(uint32_t uid) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (sidFailsFor && *sidFailsFor == uid) throw std::runtime_error("no machine id");
    return "S-1-5-21-1-2-3-" + std::to_string(uid);
  }

  void SetConsoleSid(std::string sid) { LockedSet(mutex, consoleSid, std::move(sid)); }

  bool sidFails = false;
  std::optional<uint32_t> sidFailsFor;

 private:
  std::mutex mutex;
  std::string consoleSid;
};

class FakeAttestation : public mfab::IAttestationClient {
 public:
  void Initialize() override { ++starts; }
  int starts = 0;
};

}  // namespace keystone::testing
