#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/logger.h"
#include "tests/fakes/locked.h"

namespace keystone::testing {

// Records every log record written while it is installed (and passes nothing on). Install it
// before the code under test runs; Uninstall puts the previous backend back.
class LogCapture : public mfab::LogBackend {
 public:
  struct Entry {
    mfab::LogSink sink;
    uint16_t eventId;
    mfab::LogRecord record;
  };

  // Creates a capture and installs it as the process's backend.
  static std::shared_ptr<LogCapture> Install();

  void Write(mfab::LogSink sink, uint16_t eventId, const mfab::LogRecord& record) override {
    LockedAppend(mutex, entries, Entry{sink, eventId, record});
  }

  // Restores the backend that was there before Install.
  void Uninstall();

  std::vector<Entry> Entries() const { return LockedCopy(mutex, entries); }
  // Whether a record's message equals text (or, with Contains, holds it).
  bool Has(const std::string& message) const { return Count(message) > 0; }
  bool Contains(const std::string& fragment) const;
  size_t Count(const std::string& message) const;
  void Clear() { LockedSet(mutex, entries, std::vector<Entry>()); }

 private:
  // How many records' messages satisfy match.
  size_t CountIf(const std::function<bool(const std::string&)>& match) const;

  mutable std::mutex mutex;
  std::vector<Entry> entries;
  std::shared_ptr<mfab::LogBackend> previous;
};

}  // namespace keystone::testing
