// The parse of the controller's answer to Read RSSI, apart from the finder so that it can be
// built alone (the fuzz target takes only this file).

#include "bluetooth/rssi_finder.h"

namespace Ostra::RssiCommunication {

ParsedRssiAnswer ParseRssiAnswer(std::span<const uint8_t> answer, uint16_t handle) {
  ParsedRssiAnswer parsed;
  if (answer.size() != platform::kHciReadRssiAnswerSize) {
    parsed.defect = AnswerDefect::kWrongSize;
  } else if (answer[0] != platform::kHciCommandCompleteEvent ||
             answer[1] != platform::kHciReadRssiAnswerSize - 2) {
    parsed.defect = AnswerDefect::kNotCommandComplete;
  } else if ((answer[3] | answer[4] << 8) != platform::kHciReadRssiOpcode) {
    parsed.defect = AnswerDefect::kWrongOpcode;
  } else if (answer[5] != 0) {
    parsed.defect = AnswerDefect::kBadStatus;
    parsed.status = answer[5];
  } else if ((answer[6] | (answer[7] & 0x0F) << 8) != (handle & 0x0FFF)) {
    // Only 12 bits of a handle are the handle.
    parsed.defect = AnswerDefect::kWrongHandle;
  } else {
    parsed.rssi = static_cast<int8_t>(answer[8]);
  }
  return parsed;
}

const char* AnswerDefectName(AnswerDefect defect) {
  switch (defect) {
    case AnswerDefect::kNone: return "none";
    case AnswerDefect::kWrongSize: return "wrong size";
    case AnswerDefect::kNotCommandComplete: return "not a command complete event";
    case AnswerDefect::kWrongOpcode: return "wrong opcode";
    case AnswerDefect::kBadStatus: return "bad status";
    case AnswerDefect::kWrongHandle: return "wrong handle";
  }
  return "unknown";
}

}  // namespace Ostra::RssiCommunication
