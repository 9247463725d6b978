#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "log/logger.h"

namespace mfab {

// One line per record, carrying the five fields:
//   2026-12-05T16:30:00.123Z Engine Information FLOW: SvcInit Start [SvcInit service.cc:42]
// that is: time (UTC), sink, level name, Operation, ": ", Message, then Function, File and Line.
std::string FormatLogLine(LogSink sink, uint16_t eventId, const LogRecord& record);

// The level name of an event id ("Critical", "Error", "Warning", "Information").
const char* EventLevelName(uint16_t eventId);

// Writes FormatLogLine lines to a stdio stream (stderr by default); lines are never interleaved.
class StreamLogBackend final : public LogBackend {
 public:
  explicit StreamLogBackend(std::FILE* output = stderr) : stream(output) {}
  void Write(LogSink sink, uint16_t eventId, const LogRecord& record) override;

 private:
  std::mutex mutex;
  std::FILE* stream;
};

}  // namespace mfab
