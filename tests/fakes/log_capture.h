#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/logger.h"

namespace keystone::testing {

// Records every log record written while it is alive (and still passes nothing on).
// Install it before the code under test runs; it restores the previous backend when destroyed.
class LogCapture : public mfab::LogBackend,
                   public std::enable_shared_from_this<LogCapture> {
 public:
  struct Entry {
    mfab::LogSink sink;
    uint16_t eventId;
    mfab::LogRecord record;
  };

  // Creates a capture and installs it as the process's backend.
  static std::shared_ptr<LogCapture> Install();
  ~LogCapture() override = default;

  void Write(mfab::LogSink sink, uint16_t eventId, const mfab::LogRecord& record) override;

  // Restores the backend that was there before Install.
  void Uninstall();

  std::vector<Entry> Entries() const;
  std::vector<std::string> Messages() const;
  // Whether a record's message equals text (or, with Contains, holds it).
  bool Has(const std::string& message) const;
  bool Contains(const std::string& fragment) const;
  size_t Count(const std::string& message) const;
  void Clear();

 private:
  mutable std::mutex mutex;
  std::vector<Entry> entries;
  std::shared_ptr<mfab::LogBackend> previous;
};

}  // namespace keystone::testing
