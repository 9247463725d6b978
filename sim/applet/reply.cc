#include "sim/applet/reply.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "sim/applet/protocol.h"
#include "tlv/host_messages.h"
#include "tlv/metadata.h"

namespace kilnsim {
namespace {

constexpr size_t kMaxLogText = 1023;

}  // namespace

void FwLog::Add(uint8_t level, const char* scope, const char* format, ...) {
  char text[kMaxLogText + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  lines.push_back(Line{level, scope, text});
}

ReplyDraft ErrorDraft(uint16_t code, const std::string& text) {
  mfab::ErrorMessage error;
  error.errorCode = code;
  error.errorText = text.substr(0, kMaxLogText);
  return ReplyDraft{mfab::message_type::kErrorReply, true, error.Serialize()};
}

ReplyDraft BooleanDraft(uint32_t messageType, int32_t result, bool isResponse) {
  mfab::BooleanResponse answer;
  answer.result = result;
  return ReplyDraft{messageType, isResponse, answer.Serialize()};
}

std::vector<uint8_t> FinishReply(const ReplyDraft& draft, uint32_t moduleId, uint32_t category,
                                 uint32_t sessionId, const FwLog& log, uint64_t fwTime) {
  mfab::Message reply;
  reply.moduleId = moduleId;
  reply.messageType = draft.messageType;
  reply.category = category;
  reply.isResponse = draft.isResponse;
  reply.sessionId = sessionId;
  if (draft.payload.size() > mfab::kMaxTlvLength) {
    return FinishReply(ErrorDraft(sim_error::kFirmwareFailure, "reply too large for one message"),
                       moduleId, category, sessionId, log, fwTime);
  }
  reply.payload = draft.payload;
  const size_t bare = reply.Serialize().size();
  if (bare > kMaxReplySize) {
    return FinishReply(ErrorDraft(sim_error::kFirmwareFailure, "reply too large for one message"),
                       moduleId, category, sessionId, log, fwTime);
  }
  // The metadata item's header and every entry's item header count against the budget.
  size_t budget = kMaxReplySize - bare;
  budget = budget > mfab::kTlvHeaderSize ? budget - mfab::kTlvHeaderSize : 0;
  budget = std::min(budget, mfab::kMaxTlvLength);
  mfab::MessageMetadata metadata;
  size_t used = 0;
  for (const FwLog::Line& line : log.Lines()) {
    mfab::LoggingEntry entry;
    entry.level = line.level;
    entry.component = kLogComponent;
    entry.scope = line.scope;
    entry.text = line.text;
    entry.fwTime = fwTime;
    const size_t size = entry.Serialize().size() + mfab::kTlvHeaderSize;
    if (used + size > budget) break;
    used += size;
    metadata.entries.push_back(std::move(entry));
  }
  reply.metadata = std::make_shared<mfab::Bytes>(metadata.Serialize());
  return reply.Serialize();
}

}  // namespace kilnsim
