#pragma once

// Replies of the applet: the envelope echoing the request, the payload, and the applet's own log
// lines in the metadata (MessageMetadata of LoggingEntry records), trimmed so that the whole reply
// never exceeds kMaxReplySize.

#include <cstdint>
#include <string>
#include <vector>

#include "tlv/message.h"

namespace kilnsim {

// Log lines of one exchange, in the order they were written.
class FwLog {
 public:
  static constexpr uint8_t kInfo = 0;
  static constexpr uint8_t kWarning = 1;
  static constexpr uint8_t kError = 2;

  struct Line {
    uint8_t level;
    std::string scope;
    std::string text;
  };

  // Texts are cut at 1023 characters.
  void Add(uint8_t level, const char* scope, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  const std::vector<Line>& Lines() const { return lines; }

 private:
  std::vector<Line> lines;
};

// What a handler answers; the envelope's other fields come from the request.
struct ReplyDraft {
  uint32_t messageType = 0;
  bool isResponse = true;
  std::vector<uint8_t> payload;
};

ReplyDraft ErrorDraft(uint16_t code, const std::string& text);
ReplyDraft BooleanDraft(uint32_t messageType, int32_t result, bool isResponse = true);

// Component under which the engine re-logs the applet's lines.
inline constexpr char kLogComponent[] = "KILN-SIM";

// The serialized reply: envelope with the request's moduleId, category and sessionId, the draft,
// and as many log lines (oldest first) as fit. When even the bare reply is too large, an error
// reply saying so is returned instead.
std::vector<uint8_t> FinishReply(const ReplyDraft& draft, uint32_t moduleId, uint32_t category,
                                 uint32_t sessionId, const FwLog& log, uint64_t fwTime);

}  // namespace kilnsim
