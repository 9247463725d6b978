#pragma once

// Recording stand-ins for the registry mirroring and the user records, for the components that
// only trigger them. Thread-safe.

#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "storage/data_mirroring.h"
#include "storage/user_records_interface.h"
#include "tests/fakes/locked.h"

namespace keystone::testing {

// Records each trigger as "Name" or "Name(argument)"; throws what failWith throws, when set.
class RecordingMirroring : public mfab::IDataMirroring {
 public:
  void MirrorDataIfEmpty() override { Record("MirrorDataIfEmpty"); }
  void PolicyUpdated() override { Record("PolicyUpdated"); }
  void DataCleared() override { Record("DataCleared"); }
  void UserUpdated(const std::string& user) override { Record("UserUpdated(" + user + ")"); }
  void UpdateAll() override { Record("UpdateAll"); }
  void MirrorFactorStatus(std::span<const uint8_t> support) override {
    Record("MirrorFactorStatus(" + std::to_string(support.size()) + ")");
  }

  std::vector<std::string> Calls() { return LockedCopy(mutex, calls); }

  std::function<void()> failWith;

 private:
  void Record(const std::string& call) {
    LockedAppend(mutex, calls, call);
    if (failWith) failWith();
  }

  std::mutex mutex;
  std::vector<std::string> calls;
};

class RecordingUserRecords : public mfab::IUserRecords {
 public:
  void updateUserRecord() override { ++updates; }
  std::vector<std::string> LoadUserList() override { return {}; }
  mfab::Bytes getSavedDisplayName(const std::string&) override { return {}; }

  std::atomic<int> updates{0};
};

}  // namespace keystone::testing
