#include "platform/system_log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <systemd/sd-journal.h>

#include "log/backends.h"

namespace platform {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

int Priority(uint16_t eventId) {
  switch (eventId) {
    case 2009: return LOG_CRIT;
    case 2010: return LOG_ERR;
    case 2011: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

// Writes each record as a journal entry with the five fields as KEYSTONE_* fields, the standard
// CODE_* fields and a priority from the level.
class JournalLogBackend final : public mfab::LogBackend {
 public:
  void Write(mfab::LogSink sink, uint16_t eventId, const mfab::LogRecord& record) override {
    // sd_journal_send formats each field printf-style, so values go through "%s".
    sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d", Priority(eventId),
                    "SYSLOG_IDENTIFIER=keystone-engine", "KEYSTONE_SINK=%s",
                    mfab::LogSinkName(sink), "KEYSTONE_EVENT_ID=%u", unsigned{eventId},
                    "KEYSTONE_OPERATION=%s", record.operation.c_str(), "KEYSTONE_FUNCTION=%s",
                    record.function.c_str(), "KEYSTONE_LINE=%s", record.line.c_str(),
                    "KEYSTONE_FILE=%s", record.file.c_str(), "CODE_FUNC=%s",
                    record.function.c_str(), "CODE_LINE=%s", record.line.c_str(),
                    "CODE_FILE=%s", record.file.c_str(), nullptr);
  }
};

bool JournalAvailable() {
  struct stat st {};
  return ::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

std::shared_ptr<mfab::LogBackend> CreateSystemLogBackend() {
  const char* choice = std::getenv("KEYSTONE_LOG");
  if (choice && std::strcmp(choice, "stderr") == 0) {
    return std::make_shared<mfab::StreamLogBackend>();
  }
  const bool forceJournal = choice && std::strcmp(choice, "journal") == 0;
  if (JournalAvailable() && (forceJournal || !::isatty(STDERR_FILENO))) {
    return std::make_shared<JournalLogBackend>();
  }
  return std::make_shared<mfab::StreamLogBackend>();
}

}  // namespace platform
