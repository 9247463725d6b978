#include "log/backends.h"

#include <chrono>

namespace mfab {

const char* EventLevelName(uint16_t eventId) {
  switch (eventId) {
    case 2009: return "Critical";
    case 2010: return "Error";
    case 2011: return "Warning";
    default: return "Information";
  }
}

std::string FormatLogLine(LogSink sink, uint16_t eventId, const LogRecord& record) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto day = floor<days>(now);
  const year_month_day ymd{day};
  const hh_mm_ss hms{floor<milliseconds>(now - day)};
  char stamp[40];
  std::snprintf(stamp, sizeof(stamp), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  std::string line;
  line.reserve(64 + record.message.size() + record.function.size() + record.file.size());
  line += stamp;
  line += ' ';
  line += LogSinkName(sink);
  line += ' ';
  line += EventLevelName(eventId);
  line += ' ';
  line += record.operation.empty() ? "-" : record.operation;
  line += ": ";
  line += record.message;
  line += " [";
  line += record.function;
  line += ' ';
  line += record.file;
  line += ':';
  line += record.line;
  line += ']';
  return line;
}

void StreamLogBackend::Write(LogSink sink, uint16_t eventId, const LogRecord& record) {
  std::string line = FormatLogLine(sink, eventId, record);
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

std::shared_ptr<LogBackend> DefaultLogBackend() { return std::make_shared<StreamLogBackend>(); }

}  // namespace mfab
